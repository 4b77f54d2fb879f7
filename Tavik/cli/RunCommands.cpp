#include "Tavik/cli/RunCommands.hpp"

#include "Tavik/application/AppBus.hpp"
#include "Tavik/application/AppDelegate.hpp"
#include "platform/dispatch/MainRunLoop.hpp"
#ifdef TAVIK_WITH_QT
#include "Tavik/shell/DesktopApplication.hpp"
#endif

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace tavik::cli {

namespace fs = std::filesystem;

namespace {

// How long quitting waits for detaches and files in hand to be cleaned up.
constexpr auto quitTimeout = std::chrono::seconds(60);

// SIGINT and SIGTERM call `stop` (ending the main run loop by default). They
// are blocked before any thread starts (threads inherit the mask) and taken by
// one thread with sigwait.
void stopMainRunLoopOnSignals(std::function<void()> stop = dispatch::MainRunLoop::stop)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals, stop = std::move(stop)] {
        int received = 0;
        sigwait(&signals, &received);
        stop();
    }).detach();
}

int runHeadless()
{
    stopMainRunLoopOnSignals();
    auto delegate = AppDelegate::make();
    delegate->applicationWillFinishLaunching();

    std::weak_ptr<AppDelegate> weakDelegate = delegate;
    auto bus = AppBusService::start(
        [weakDelegate](std::vector<URL> files, FileSource target) {
            if (auto delegate = weakDelegate.lock())
                delegate->openURLs(files, target);
        },
        {},
        // Without its bus Tavik can no longer be found by later starts, nor
        // reach the disk image service: it quits as on SIGTERM, and a Tavik
        // started on a new bus takes over the watching.
        [](const std::string& failure) {
            std::fprintf(stderr, "tavik: lost the session bus (%s); quitting\n", failure.c_str());
            dispatch::MainRunLoop::stop();
        });
    if (!bus) {
        auto running = reopenRunningInstance();
        if (running && *running) {
            std::fprintf(stderr, "tavik: Tavik is already running in this session\n");
            return 0;
        }
        std::fprintf(stderr, "tavik: cannot take the session bus name %s: %s\n", AppBus::name,
            bus.error()->description().c_str());
        return 1;
    }

    delegate->applicationDidFinishLaunching();
    dispatch::MainRunLoop::run();

    delegate->applicationWillTerminate(quitTimeout);
    bus->reset();
    return 0;
}

struct LaunchArguments {
    int argc = 0;
    char** argv = nullptr;
    bool headless = false;
    bool showPreferences = false;
    bool showIntro = false;
};

LaunchArguments& launchArguments()
{
    static LaunchArguments arguments;
    return arguments;
}

// The desktop application where a display is there and Qt loads, else
// headless; one line on standard error says which. A Tavik already running
// is asked to show its window instead.
int runApplication()
{
    const auto& launch = launchArguments();
    if (auto running = reopenRunningInstance(); running && *running) {
        std::fprintf(stderr, "tavik: Tavik is already running in this session; asked it to show its window\n");
        return 0;
    }
    if (launch.headless) {
        std::fprintf(stderr, "tavik: running headless (--headless)\n");
        return runHeadless();
    }
#ifdef TAVIK_WITH_QT
    if (shell::isDesktopAvailable(launch.argc > 0 ? launch.argv[0] : "tavik")) {
        std::fprintf(stderr, "tavik: starting the desktop application\n");
        stopMainRunLoopOnSignals(shell::quitDesktopApplication);
        std::vector<std::string> arguments;
        if (launch.showPreferences)
            arguments.emplace_back("--showPreferences");
        if (launch.showIntro)
            arguments.emplace_back("--showIntro");
        // Qt gets the program name only: the command line was ours to read.
        int argc = 1;
        char* argv[] = {launch.argv[0], nullptr};
        return shell::runDesktopApplication(argc, argv, arguments);
    }
    std::fprintf(stderr, "tavik: no display available (or Qt cannot use it); running headless\n");
#else
    std::fprintf(stderr, "tavik: built without the desktop application; running headless\n");
#endif
    return runHeadless();
}

// Hands the files to the running Tavik, or handles them here when none runs:
// prints each outcome and succeeds only when every file was completed.
int openFiles(const std::vector<std::string>& paths, const std::string& targetName)
{
    auto target = AppBus::dropTarget(targetName);
    if (!target) {
        std::fprintf(stderr, "tavik: unknown drop target \"%s\" (use app-icon or status-bar)\n", targetName.c_str());
        return 2;
    }
    std::vector<URL> files;
    for (const auto& path : paths) {
        std::error_code error;
        auto absolute = fs::absolute(path, error);
        if (error || !fs::exists(fs::symlink_status(absolute, error))) {
            std::fprintf(stderr, "tavik: no such file: %s\n", path.c_str());
            return 2;
        }
        files.push_back(URL::fileURL(absolute.lexically_normal(), fs::is_directory(absolute, error)));
    }

    if (auto running = openInRunningInstance(files, *target); running && *running) {
        std::printf("Handed %zu file(s) to the running Tavik\n", files.size());
        return 0;
    }

    stopMainRunLoopOnSignals();
    auto delegate = AppDelegate::make();
    delegate->applicationWillFinishLaunching();
    delegate->environment().userInputRequestPerformer->registerCategories();

    std::mutex mutex;
    size_t reported = 0;
    bool allCompleted = true;
    auto handedOver = delegate->openURLs(files, *target, [&](const URL&, const FileHandler::FileOutcome& outcome) {
        std::lock_guard lock(mutex);
        ++reported;
        allCompleted = allCompleted && outcome.isCompleted();
    });
    if (handedOver.empty()) {
        std::fprintf(stderr, "tavik: there is no %s configuration, or no file it takes\n", targetName.c_str());
        return 1;
    }
    if (handedOver.size() < files.size())
        allCompleted = false;
    // Questions shown as alerts run on the main queue, so run it meanwhile.
    dispatch::MainRunLoop::runUntil([&] {
        std::lock_guard lock(mutex);
        return reported == handedOver.size();
    },
        std::chrono::hours(24 * 365));
    {
        std::lock_guard lock(mutex);
        if (reported < handedOver.size())
            allCompleted = false; // interrupted
    }
    // Detaching and trashing come after the outcome; let them finish.
    delegate->fileHandler()->waitUntilIdle(quitTimeout);
    return allCompleted ? 0 : 1;
}

} // namespace

void addRunCommands(CLI::App& app, int argc, char** argv)
{
    auto& launch = launchArguments();
    launch.argc = argc;
    launch.argv = argv;
    app.add_flag("--headless", launch.headless, "Run without windows or tray icon until SIGINT or SIGTERM");
    app.add_flag("--showPreferences", launch.showPreferences, "Open the preferences window at start");
    app.add_flag("--showIntro", launch.showIntro, "Open the setup introduction at start");
    app.callback([&app] {
        if (app.get_subcommands().empty())
            throw CLI::RuntimeError(runApplication());
    });

    auto open = app.add_subcommand("open", "Hand files to Tavik as if dropped on its dock icon (or its menu-bar icon)");
    auto paths = std::make_shared<std::vector<std::string>>();
    auto target = std::make_shared<std::string>("app-icon");
    open->add_option("--source", *target, "Where the files are dropped: app-icon or status-bar")
        ->check(CLI::IsMember({"app-icon", "status-bar"}));
    open->add_option("FILE", *paths,
        "Disk images, ZIP archives or installer packages; none starts Tavik, or shows the running one's window");
    open->callback([paths, target] {
        // A launcher entry started without files: the same as starting Tavik.
        throw CLI::RuntimeError(paths->empty() ? runApplication() : openFiles(*paths, *target));
    });
}

} // namespace tavik::cli
