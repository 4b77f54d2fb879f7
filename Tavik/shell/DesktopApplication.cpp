#include "Tavik/shell/DesktopApplication.hpp"

#include "Tavik/application/AppBus.hpp"
#include "Tavik/application/AppDelegate.hpp"
#include "Tavik/shell/DesktopAppDelegate.hpp"
#include "Tavik/shell/QtAlertPresenter.hpp"
#include "Tavik/shell/QtMainQueue.hpp"
#include "Tavik/shell/ShellIcons.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/MainRunLoop.hpp"
#include "platform/process/ChildProcess.hpp"

#include <QApplication>
#include <QGuiApplication>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tavik::shell {

namespace {

// How long quitting waits for detaches to be answered.
constexpr auto quitTimeout = std::chrono::seconds(60);
// How long the platform plugin may take to load in the probe.
constexpr auto probeTimeout = std::chrono::seconds(10);

} // namespace

bool isDesktopAvailable(const char* programName)
{
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        return false;
    pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        // Qt's complaints about a missing display are the probe's answer, not output.
        int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0)
            dup2(devNull, STDERR_FILENO);
        int argc = 1;
        char* argv[] = {const_cast<char*>(programName), nullptr};
        QGuiApplication probe(argc, argv);
        _exit(0);
    }
    bool ended = process::endsBy(child, std::chrono::steady_clock::now() + probeTimeout);
    if (!ended)
        kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void quitDesktopApplication()
{
    // exit, not quit: quitting must not depend on every window agreeing to
    // close (the first-run introduction refuses).
    dispatch::DispatchQueue::main()->async([] { QCoreApplication::exit(0); });
}

int runDesktopApplication(int argc, char** argv, const std::vector<std::string>& arguments)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName("Tavik");
    QApplication::setDesktopFileName(AppDelegate::bundleIdentifier);
    QApplication::setWindowIcon(applicationIcon());
    // The tray icon and the bus keep Tavik running without windows.
    QApplication::setQuitOnLastWindowClosed(false);
    serveMainQueueFromQtEventLoop();
    alerts::AlertPresenter::setCurrent(std::make_shared<QtAlertPresenter>());

    auto bus = std::make_shared<std::unique_ptr<AppBusService>>();
    AppDelegate::Environment environment;
    environment.presentUpdateAlert = presentUpdateAlert;
    auto appDelegate = AppDelegate::make(environment);
    appDelegate->applicationWillFinishLaunching();

    std::unique_ptr<DesktopAppDelegate> desktop;
    auto* desktopSlot = &desktop;
    std::weak_ptr<AppDelegate> weakDelegate = appDelegate;
    auto started = AppBusService::start(
        [weakDelegate](std::vector<URL> files, FileSource target) {
            if (auto delegate = weakDelegate.lock())
                delegate->openURLs(files, target);
        },
        [desktopSlot] {
            dispatch::DispatchQueue::main()->async([desktopSlot] {
                if (*desktopSlot)
                    (*desktopSlot)->applicationShouldHandleReopen();
            });
            return true;
        },
        // Without its bus Tavik can neither be found by later starts nor
        // reach the disk image service: it quits as when told to.
        [](const std::string& failure) {
            std::fprintf(stderr, "tavik: lost the session bus (%s); quitting\n", failure.c_str());
            quitDesktopApplication();
        });
    if (!started) {
        auto reopened = reopenRunningInstance();
        if (reopened && *reopened) {
            std::fprintf(stderr, "tavik: Tavik is already running in this session; showing its window\n");
            return 0;
        }
        std::fprintf(stderr, "tavik: cannot take the session bus name %s: %s\n", AppBus::name,
            started.error()->description().c_str());
        return 1;
    }
    *bus = std::move(*started);

    appDelegate->applicationDidFinishLaunching();
    desktop = std::make_unique<DesktopAppDelegate>(appDelegate, DesktopAppDelegate::Options {});
    desktop->launch(arguments, appDelegate->launchedByLauncher());

    int status = application.exec();

    desktop.reset();
    appDelegate->applicationWillTerminate(quitTimeout);
    bus->reset(); // the reopen handler reads `desktop`; the bus goes before it
    alerts::AlertPresenter::setCurrent(nullptr);
    dispatch::MainRunLoop::setForwarder(nullptr);
    return status;
}

} // namespace tavik::shell
