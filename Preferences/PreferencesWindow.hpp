#pragma once

// A preferences window: one toolbar item per pane; choosing one shows its
// pane, with the pane's title and size. The window's frame is kept in the
// user defaults under "app.tavik.Preferences.FrameAutosaveName" when it
// closes or goes with the application.

#include "platform/defaults/UserDefaults.hpp"

#include <QSize>
#include <QString>
#include <QWidget>

#include <memory>
#include <vector>

class QActionGroup;
class QStackedWidget;
class QToolBar;

namespace tavik::preferences {

struct PreferencePane {
    QString identifier; // the toolbar item's object name
    QString title; // the toolbar item's and the window's title
    QString iconName; // a freedesktop icon name
    QSize size; // the window's content size while it shows
    QWidget* view; // taken over by the window
};

class PreferencesWindow final : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* frameAutosaveName = "app.tavik.Preferences.FrameAutosaveName";

    // Shows the first pane; the frame saved last time, when there is one.
    PreferencesWindow(std::vector<PreferencePane> panes, std::shared_ptr<defaults::UserDefaults> userDefaults);
    ~PreferencesWindow() override;

    void selectPane(size_t index);
    size_t selectedPane() const { return selected_; }
    QToolBar* toolBar() const { return toolBar_; }

signals:
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void saveFrame();

    std::vector<PreferencePane> panes_;
    std::shared_ptr<defaults::UserDefaults> userDefaults_;
    QToolBar* toolBar_;
    QStackedWidget* stack_;
    size_t selected_ = 0;
};

} // namespace tavik::preferences
