#pragma once

// The General preferences pane: where Tavik shows its icon, and "Launch at
// login".

#include "Tavik/preferences/GeneralPreferences.hpp"

#include <QWidget>

class QCheckBox;
class QComboBox;

namespace tavik::shell {

class GeneralPreferencesPane final : public QWidget {
public:
    explicit GeneralPreferencesPane(GeneralPreferences preferences);

private:
    void showPopUp(const DockIconMenuBarPopUp& popUp);
    void launchAtLoginClicked();

    GeneralPreferences preferences_;
    QComboBox* dockIconMenuBar_;
    QCheckBox* launchAtLogin_;
    publisher::AnyCancellable popUpCancellable_;
};

} // namespace tavik::shell
