#pragma once

// The desktop application around the application delegate: the three
// windows, the tray icon, the main menu, the window chosen at launch, and
// the dock/menu-bar option applied after every window change.

#include "Tavik/application/AppDelegate.hpp"
#include "Tavik/shell/MenuBarManager.hpp"
#include "Tavik/shell/ShellDialogs.hpp"
#include "Tavik/shell/model/LaunchWindow.hpp"

#include <QObject>
#include <QPointer>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QMenuBar;

namespace tavik::preferences {
class PreferencesWindow;
}

namespace tavik::shell {

using preferences::PreferencesWindow;
class FileSourcesWindow;
class IntroWindow;

class DesktopAppDelegate final : public QObject, public MenuBarManagerDelegate {
    Q_OBJECT
public:
    struct Options {
        std::shared_ptr<ShellDialogs> dialogs;
        // Whether the desktop shows tray icons; QSystemTrayIcon's answer by default.
        std::function<bool()> isSystemTrayAvailable;
        // The running tavik, whose install prefix holds the login-item
        // launcher; the application's own file by default.
        std::filesystem::path tavikExecutable;
    };

    // The application delegate must have finished launching.
    DesktopAppDelegate(std::shared_ptr<AppDelegate> appDelegate, Options options);
    ~DesktopAppDelegate() override;

    // Opens the window chosen for these arguments (none when the login-item
    // launcher started Tavik after the setup) and applies the icon option.
    void launch(const std::vector<std::string>& arguments, bool launchedByLauncher);

    void showFileSourcesWindow();
    // From the menu (`fromMenu`) the introduction can be closed and starts afresh.
    void showIntroWindow(bool fromMenu);
    void showPreferencesWindow();
    void applyDockIconMenuBarOption();
    // Starting Tavik again while it runs: shows the file sources window
    // unless one of its windows is visible; answers whether it showed it.
    bool applicationShouldHandleReopen();

    // The main menu's actions.
    void checkForUpdates();
    void openContactPage();

    void menuBarManagerRequestsMainWindow() override;
    void menuBarManagerRequestsPreferences() override;

    FileSourcesWindow* fileSourcesWindow() const;
    IntroWindow* introWindow() const;
    PreferencesWindow* preferencesWindow() const;
    MenuBarManager* menuBarManager() const { return menuBarManager_; }
    ActivationPolicy activationPolicy() const { return activationPolicy_; }

private:
    bool anyWindowOpen() const;
    void addMainMenu(QMenuBar* menuBar);
    void windowClosed(QWidget* window);

    std::shared_ptr<AppDelegate> appDelegate_;
    Options options_;
    QPointer<FileSourcesWindow> fileSourcesWindowController_;
    QPointer<PreferencesWindow> preferencesWindowController_;
    QPointer<IntroWindow> introWindowController_;
    MenuBarManager* menuBarManager_;
    ActivationPolicy activationPolicy_ = ActivationPolicy::accessory;
    bool toldNoTray_ = false;
    log::Logger log_;
    publisher::AnyCancellable dockIconMenuBarOptionCancellable_;
};

} // namespace tavik::shell
