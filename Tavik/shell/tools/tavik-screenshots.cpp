// tavik-screenshots OUTDIR: runs the desktop application's windows, tray
// menu and dialogs over the configuration in $XDG_CONFIG_HOME and saves
// pictures of the whole screen into OUTDIR. scripts/screenshots prepares the
// configuration and the X server (with a tray host) it runs on.

#include "Tavik/application/AppDelegate.hpp"
#include "Tavik/configuration/AppPreferences.hpp"
#include "Tavik/shell/DesktopAppDelegate.hpp"
#include "Tavik/shell/FileSourcesList.hpp"
#include "Tavik/shell/FileSourcesWindow.hpp"
#include "Tavik/shell/MenuBarManager.hpp"
#include "Tavik/shell/QtAlertPresenter.hpp"
#include "Tavik/shell/QtMainQueue.hpp"
#include "Tavik/shell/ShellIcons.hpp"
#include "platform/dispatch/MainRunLoop.hpp"
#include "platform/foundation/FileError.hpp"

#include "Tavik/configuration/InitialSetup.hpp"
#include "Tavik/intro/IntroStepProvider.hpp"
#include "Tavik/shell/IntroWindow.hpp"
#include "Preferences/PreferencesWindow.hpp"

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

using namespace tavik;
using namespace tavik::shell;

namespace {

std::string outputFolder;

void settle(int milliseconds = 400)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

bool save(const char* name)
{
    settle();
    auto picture = QGuiApplication::primaryScreen()->grabWindow(0);
    auto path = QString::fromStdString(outputFolder + "/" + name + ".png");
    if (!picture.save(path)) {
        std::fprintf(stderr, "tavik-screenshots: cannot write %s\n", path.toUtf8().constData());
        return false;
    }
    std::printf("%s\n", path.toUtf8().constData());
    return true;
}

// Takes a picture of the next message box, then presses its first button.
void pictureNextMessageBox(const char* name, bool* saved)
{
    QTimer::singleShot(600, [name, saved] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            pictureNextMessageBox(name, saved);
            return;
        }
        *saved = save(name);
        box->buttons().front()->click();
    });
}

// Every step of the introduction, over settings of its own so that every
// path can be taken: welcome, destination, watch, complete; back, then
// skipped and not watching.
bool pictureIntroSteps()
{
    auto home = std::filesystem::path(std::getenv("HOME"));
    std::filesystem::create_directories(home / "Applications");
    std::filesystem::create_directories(home / "Downloads");
    auto userDefaults = defaults::UserDefaults::suite("app.tavik.Tavik.screenshots-" + UUID().uuidString());
    auto manager = FileSourceConfigurationsManager::make(userDefaults);
    auto setup = std::make_shared<InitialSetup>(userDefaults, manager, std::make_shared<ApplicationsDestinationManager>(userDefaults));
    auto dialogs = ShellDialogs::qt();
    auto run = [&](const std::function<bool(IntroWindow&)>& walk) {
        IntroState::Defaults folders {URL::fileURL(home / "Applications", true), URL::fileURL(home / "Downloads", true)};
        IntroWindow intro(setup, std::make_unique<IntroStepProvider>(IntroState(setup, manager, folders)), dialogs, true, [] {});
        intro.move(40, 60);
        intro.show();
        return walk(intro);
    };
    auto click = [](IntroWindow& intro, const char* button) {
        intro.findChild<QPushButton*>(button)->click();
        settle(100);
    };
    bool ok = run([&](IntroWindow& intro) {
        bool saved = save("intro-welcome");
        click(intro, "primary");
        saved = save("intro-destination") && saved;
        intro.chooseFolder(URL::fileURL(home / "Applications", true));
        settle(100);
        click(intro, "primary");
        saved = save("intro-watch") && saved;
        intro.chooseFolder(URL::fileURL(home / "Downloads", true));
        settle(100);
        click(intro, "primary");
        return save("intro-complete") && saved;
    });
    // (The suite's file stays in the screenshots' temporary configuration.)
    // A fresh start of the steps, with nothing chosen and no folder watched.
    // A new setup, as the application makes for each showing of the window.
    setup = std::make_shared<InitialSetup>(userDefaults, manager, std::make_shared<ApplicationsDestinationManager>(userDefaults));
    (void)setup->introApplicationDestination().store(std::nullopt);
    (void)manager->removeConfigurations(
        [](const FileSourceConfiguration& configuration) { return configuration.fileSource() == FileSource::directory; });
    ok = run([&](IntroWindow& intro) {
        click(intro, "primary");
        click(intro, "primary");
        return save("intro-skipped");
    }) && ok;
    ok = run([&](IntroWindow& intro) {
        click(intro, "primary");
        intro.chooseFolder(URL::fileURL(home / "Applications", true));
        settle(100);
        click(intro, "primary");
        click(intro, "primary");
        return save("intro-not-watching");
    }) && ok;
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: tavik-screenshots OUTDIR\n");
        return 2;
    }
    outputFolder = argv[1];
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(applicationIcon());
    serveMainQueueFromQtEventLoop();
    alerts::AlertPresenter::setCurrent(std::make_shared<QtAlertPresenter>());

    AppDelegate::Environment environment;
    environment.presentUpdateAlert = presentUpdateAlert;
    auto appDelegate = AppDelegate::make(environment);
    appDelegate->applicationWillFinishLaunching();
    appDelegate->applicationDidFinishLaunching();
    DesktopAppDelegate desktop(appDelegate, {});
    desktop.launch({}, false);

    bool ok = true;
    QTimer::singleShot(0, [&] {
        auto* window = desktop.fileSourcesWindow();
        if (!window) {
            std::fprintf(stderr, "tavik-screenshots: the setup has not run; no file sources window\n");
            QApplication::exit(1);
            return;
        }
        window->move(40, 60);
        auto configurations = appDelegate->environment().fileSourcesManager->fileSourceConfigurations();
        std::vector<std::string> folders;
        for (const auto& configuration : configurations) {
            if (configuration->fileSource() == FileSource::directory)
                folders.push_back(configuration->id());
        }

        window->list()->selectConfigurations({});
        ok = save("file-sources-none-selected") && ok;
        window->list()->selectConfigurations({folders.empty() ? configurations.front()->id() : folders.front()});
        ok = save("file-sources-one-selected") && ok;
        if (folders.size() >= 2)
            window->list()->selectConfigurations({folders[0], folders[1]});
        ok = save("file-sources-two-selected") && ok;

        // The tray menu, opened under the tray icon's corner.
        window->hide();
        auto* menu = desktop.menuBarManager()->menu();
        if (menu) {
            auto screen = QGuiApplication::primaryScreen()->geometry();
            menu->popup(QPoint(screen.right() - menu->sizeHint().width() - 8, 30));
            ok = save("tray-menu-two-folders") && ok;
            menu->hide();
        } else {
            std::fprintf(stderr, "tavik-screenshots: no tray icon (is a tray host running?)\n");
            ok = false;
        }
        window->show();

        bool questionSaved = false;
        pictureNextMessageBox("question-dialog", &questionSaved);
        alerts::Alert question {"Example.app already exists",
            "Choose how to handle Example.app at " + std::string(std::getenv("HOME")) + "/Applications",
            {"Overwrite", "Rename and Copy", "Ignore"}};
        QtAlertPresenter().runModal(question);
        ok = questionSaved && ok;

        bool errorSaved = false;
        pictureNextMessageBox("error-alert", &errorSaved);
        QtAlertPresenter().runModal(alerts::Alert::withError(
            FileError::fromErrno(ENOSPC, std::string(std::getenv("HOME")) + "/Applications/Example.app", true)));
        ok = errorSaved && ok;
        window->hide();

        // Both preference panes.
        desktop.showPreferencesWindow();
        auto* preferences = desktop.preferencesWindow();
        preferences->move(40, 60);
        ok = save("preferences-general") && ok;
        preferences->selectPane(1);
        ok = save("preferences-updates") && ok;
        preferences->close();

        ok = pictureIntroSteps() && ok;
        QApplication::exit(ok ? 0 : 1);
    });
    int status = application.exec();
    appDelegate->applicationWillTerminate(std::chrono::seconds(5));
    alerts::AlertPresenter::setCurrent(nullptr);
    dispatch::MainRunLoop::setForwarder(nullptr);
    return status;
}
