#include "Tavik/cli/RunCommands.hpp"

#include "Tavik/application/AppBus.hpp"
#include "Tavik/application/AppDelegate.hpp"
#include "platform/dispatch/MainRunLoop.hpp"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace tavik::cli {

namespace fs = std::filesystem;

namespace {

// How long quitting waits for detaches and files in hand to be cleaned up.
constexpr auto quitTimeout = std::chrono::seconds(60);

// SIGINT and SIGTERM end the main run loop. They are blocked before any
// thread starts (threads inherit the mask) and taken by one thread with sigwait.
void stopMainRunLoopOnSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        int received = 0;
        sigwait(&signals, &received);
        dispatch::MainRunLoop::stop();
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
        // Without its bus Tavik can no longer be found by later starts, nor
        // reach the disk image service: it quits as on SIGTERM, and a Tavik
        // started on a new bus takes over the watching.
        [](const std::string& failure) {
            std::fprintf(stderr, "tavik: lost the session bus (%s); quitting\n", failure.c_str());
            dispatch::MainRunLoop::stop();
        });
    if (!bus) {
        auto running = openInRunningInstance({}, FileSource::appIcon);
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
    }, std::chrono::hours(24 * 365));
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

void addRunCommands(CLI::App& app)
{
    // Without a display, and until there are windows, Tavik always runs headless.
    static bool headless = false;
    app.add_flag("--headless", headless, "Run without windows or tray icon until SIGINT or SIGTERM");
    app.callback([&app] {
        if (app.get_subcommands().empty())
            throw CLI::RuntimeError(runHeadless());
    });

    auto open = app.add_subcommand("open", "Hand files to Tavik as if dropped on its dock icon (or its menu-bar icon)");
    auto paths = std::make_shared<std::vector<std::string>>();
    auto target = std::make_shared<std::string>("app-icon");
    open->add_option("--source", *target, "Where the files are dropped: app-icon or status-bar")
        ->check(CLI::IsMember({"app-icon", "status-bar"}));
    open->add_option("FILE", *paths, "Disk images, ZIP archives or installer packages")->required();
    open->callback([paths, target] { throw CLI::RuntimeError(openFiles(*paths, *target)); });
}

} // namespace tavik::cli
