#include "Tavik/shell/DesktopAppDelegate.hpp"

#include "Tavik/configuration/AppPreferences.hpp"
#include "Tavik/configuration/InitialSetup.hpp"
#include "Tavik/shell/DesktopApplication.hpp"
#include "Tavik/shell/FileSourcesWindow.hpp"
#include "Preferences/PreferencesWindow.hpp"
#include "Tavik/intro/IntroStepProvider.hpp"
#include "Tavik/shell/GeneralPreferencesPane.hpp"
#include "Tavik/shell/IntroWindow.hpp"
#include "Tavik/shell/ShellIcons.hpp"
#include "Tavik/shell/UpdatesPreferencesPane.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QMenuBar>
#include <QSystemTrayIcon>
#include <QUrl>

namespace tavik::shell {

namespace {

constexpr const char* contactPage = "https://tavik.app/contact";

void bringToFront(QWidget* window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

DesktopAppDelegate::DesktopAppDelegate(std::shared_ptr<AppDelegate> appDelegate, Options options)
    : appDelegate_(std::move(appDelegate))
    , options_(std::move(options))
    , log_(AppDelegate::bundleIdentifier, "App Delegate")
{
    if (!options_.dialogs)
        options_.dialogs = ShellDialogs::qt();
    if (!options_.isSystemTrayAvailable)
        options_.isSystemTrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    if (options_.tavikExecutable.empty())
        options_.tavikExecutable = QCoreApplication::applicationFilePath().toStdString();

    auto core = appDelegate_;
    menuBarManager_ = new MenuBarManager(
        appDelegate_->environment().fileSourcesManager,
        [core](const std::vector<URL>& files) { return core->openURLs(files, FileSource::statusBarIcon); }, this);
    menuBarManager_->delegate = this;
}

DesktopAppDelegate::~DesktopAppDelegate()
{
    dockIconMenuBarOptionCancellable_.cancel();
    delete fileSourcesWindowController_;
    delete preferencesWindowController_;
    delete introWindowController_;
}

void DesktopAppDelegate::launch(const std::vector<std::string>& arguments, bool launchedByLauncher)
{
    QPointer<DesktopAppDelegate> self(this);
    dockIconMenuBarOptionCancellable_ = AppPreferences::applicationDockIconMenuBarOption()
                                            .valuePublisher()
                                            .receiveOn(dispatch::DispatchQueue::main())
                                            .sink([self](const ApplicationDockIconMenuBarOption&) {
                                                if (self)
                                                    self->applyDockIconMenuBarOption();
                                            });

    switch (windowAtLaunch(AppPreferences::hasRunInitialSetup().currentValue(), launchedByLauncher, arguments)) {
    case LaunchWindow::none:
        log_.debug("Main app was launched by the launcher; not showing any windows");
        break;
    case LaunchWindow::preferences:
        showPreferencesWindow();
        break;
    case LaunchWindow::intro:
        showIntroWindow(false);
        break;
    case LaunchWindow::fileSources:
        showFileSourcesWindow();
        break;
    }
    applyDockIconMenuBarOption();
}

FileSourcesWindow* DesktopAppDelegate::fileSourcesWindow() const
{
    return fileSourcesWindowController_;
}

IntroWindow* DesktopAppDelegate::introWindow() const
{
    return introWindowController_;
}

PreferencesWindow* DesktopAppDelegate::preferencesWindow() const
{
    return preferencesWindowController_;
}

bool DesktopAppDelegate::anyWindowOpen() const
{
    return fileSourcesWindowController_ || preferencesWindowController_ || introWindowController_;
}

void DesktopAppDelegate::applyDockIconMenuBarOption()
{
    bool windowOpen = anyWindowOpen();
    auto presence = iconPresence(AppPreferences::applicationDockIconMenuBarOption().currentValue(), windowOpen,
        AppPreferences::hasRunInitialSetup().currentValue());
    activationPolicy_ = presence.activationPolicy;

    bool trayAvailable = options_.isSystemTrayAvailable();
    if (presence.statusItem && trayAvailable)
        menuBarManager_->showStatusItem();
    else
        menuBarManager_->hideStatusItem();

    if (needsLauncherEntryToReopen(presence, trayAvailable, windowOpen) && !toldNoTray_) {
        toldNoTray_ = true;
        if (presence.statusItem)
            log_.defaultLevel("No system tray is available; start Tavik again (its launcher entry) to open the file sources window");
        else
            log_.defaultLevel("No window is open; start Tavik again (its launcher entry) to open the file sources window");
    } else if (windowOpen || (presence.statusItem && trayAvailable)) {
        toldNoTray_ = false;
    }
}

void DesktopAppDelegate::showFileSourcesWindow()
{
    activationPolicy_ = ActivationPolicy::regular;
    if (!fileSourcesWindowController_) {
        const auto& environment = appDelegate_->environment();
        auto* window = new FileSourcesWindow(environment.fileSourcesManager, environment.applicationsDestinationManager,
            options_.dialogs);
        window->setAttribute(Qt::WA_DeleteOnClose);
        addMainMenu(window->menuBar());
        connect(window, &FileSourcesWindow::closed, this, [this, window] { windowClosed(window); });
        fileSourcesWindowController_ = window;
    }
    bringToFront(fileSourcesWindowController_);
    applyDockIconMenuBarOption();
}

void DesktopAppDelegate::showIntroWindow(bool fromMenu)
{
    activationPolicy_ = ActivationPolicy::regular;
    if (!introWindowController_) {
        const auto& environment = appDelegate_->environment();
        // The setup's own values sit beside the other application-wide settings.
        auto setup = std::make_shared<InitialSetup>(defaults::UserDefaults::standard(), environment.fileSourcesManager,
            environment.applicationsDestinationManager);
        if (fromMenu)
            (void)setup->introApplicationDestination().store(std::nullopt);
        QPointer<DesktopAppDelegate> self(this);
        auto steps = std::make_unique<IntroStepProvider>(IntroState(setup, environment.fileSourcesManager));
        auto* window = new IntroWindow(setup, std::move(steps), options_.dialogs, fromMenu, [self] {
            if (!self || !self->introWindowController_)
                return;
            auto intro = self->introWindowController_;
            intro->hide();
            self->showFileSourcesWindow();
            intro->close();
        });
        window->setAttribute(Qt::WA_DeleteOnClose);
        connect(window, &IntroWindow::closed, this, [this, window] { windowClosed(window); });
        introWindowController_ = window;
    }
    bringToFront(introWindowController_);
    applyDockIconMenuBarOption();
}

void DesktopAppDelegate::showPreferencesWindow()
{
    activationPolicy_ = ActivationPolicy::regular;
    if (!preferencesWindowController_) {
        std::vector<preferences::PreferencePane> panes;
        panes.push_back({"general", "General", "preferences-system", QSize(480, 170),
            new GeneralPreferencesPane(GeneralPreferences(AppPreferences::applicationDockIconMenuBarOption(),
                GeneralPreferences::launcherLoginItem(options_.tavikExecutable)))});
        panes.push_back({"updates", "Updates", "system-software-update", QSize(480, 190),
            new UpdatesPreferencesPane(appDelegate_->updater())});
        auto* window = new PreferencesWindow(std::move(panes), appDelegate_->environment().userDefaults);
        window->setWindowIcon(applicationIcon());
        window->setAttribute(Qt::WA_DeleteOnClose);
        connect(window, &PreferencesWindow::closed, this, [this, window] { windowClosed(window); });
        preferencesWindowController_ = window;
    }
    bringToFront(preferencesWindowController_);
    applyDockIconMenuBarOption();
}

void DesktopAppDelegate::windowClosed(QWidget* window)
{
    if (window == fileSourcesWindowController_)
        fileSourcesWindowController_ = nullptr;
    else if (window == preferencesWindowController_)
        preferencesWindowController_ = nullptr;
    else if (window == introWindowController_)
        introWindowController_ = nullptr;
    applyDockIconMenuBarOption();
}

bool DesktopAppDelegate::applicationShouldHandleReopen()
{
    for (QWidget* window : {static_cast<QWidget*>(fileSourcesWindowController_),
             static_cast<QWidget*>(preferencesWindowController_), static_cast<QWidget*>(introWindowController_)}) {
        if (window && window->isVisible() && !window->isMinimized()) {
            bringToFront(window);
            return false;
        }
    }
    showFileSourcesWindow();
    return true;
}

void DesktopAppDelegate::addMainMenu(QMenuBar* menuBar)
{
    auto* menu = menuBar->addMenu("&Tavik");
    connect(menu->addAction("Setup Introduction..."), &QAction::triggered, this, [this] { showIntroWindow(true); });
    auto* preferences = menu->addAction("Preferences...");
    preferences->setShortcut(QKeySequence("Ctrl+,"));
    connect(preferences, &QAction::triggered, this, [this] { showPreferencesWindow(); });
    connect(menu->addAction("Check for Updates..."), &QAction::triggered, this, [this] { checkForUpdates(); });
    menu->addSeparator();
    auto* quit = menu->addAction("Quit Tavik");
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, qApp, [] { quitDesktopApplication(); });
    auto* help = menuBar->addMenu("&Help");
    connect(help->addAction("Contact Us..."), &QAction::triggered, this, [this] { openContactPage(); });
}

void DesktopAppDelegate::checkForUpdates()
{
    if (const auto& updater = appDelegate_->updater())
        updater->checkForUpdates();
}

void DesktopAppDelegate::openContactPage()
{
    QDesktopServices::openUrl(QUrl(contactPage));
}

void DesktopAppDelegate::menuBarManagerRequestsMainWindow()
{
    showFileSourcesWindow();
}

void DesktopAppDelegate::menuBarManagerRequestsPreferences()
{
    showPreferencesWindow();
}

} // namespace tavik::shell
