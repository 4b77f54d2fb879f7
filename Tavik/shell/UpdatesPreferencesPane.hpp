#pragma once

// The Updates preferences pane: automatic checks and downloads, the last
// check's date and "Check for Updates".

#include "Tavik/preferences/UpdatesPreferences.hpp"

#include <QWidget>

#include <vector>

class QCheckBox;
class QLabel;
class QPushButton;

namespace tavik::shell {

class UpdatesPreferencesPane final : public QWidget {
public:
    // Without an updater the pane shows its controls disabled.
    explicit UpdatesPreferencesPane(std::shared_ptr<updater::Updater> updater);

private:
    void showState(const UpdatesPaneState& state);

    std::unique_ptr<UpdatesPreferences> preferences_;
    QCheckBox* automaticallyChecks_;
    QCheckBox* automaticallyDownloads_;
    QLabel* lastCheck_;
    QPushButton* checkNow_;
    std::vector<publisher::AnyCancellable> cancellables_;
};

} // namespace tavik::shell
