#include "launcher/Launcher.hpp"

#include "launcher/LauncherBus.hpp"
#include "platform/log/Logger.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <condition_variable>
#include <mutex>
#include <unistd.h>

namespace tavik::launcher {

namespace fs = std::filesystem;

namespace {

// Set from the bus thread when the quit signal arrives; waited for on the launcher's thread.
class QuitRequest {
public:
    void post()
    {
        {
            std::lock_guard lock(mutex_);
            posted_ = true;
        }
        changed_.notify_all();
    }
    bool waitFor(std::chrono::seconds timeout)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return posted_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool posted_ = false;
};

bool isExecutableFile(const fs::path& path)
{
    std::error_code error;
    return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

} // namespace

fs::path tavikExecutableFor(const fs::path& launcherPath)
{
    auto folder = launcherPath.parent_path();
    if (auto beside = folder / "tavik"; isExecutableFile(beside))
        return beside;
    // <prefix>/libexec/tavik/tavik-launcher -> <prefix>/bin/tavik
    return folder.parent_path().parent_path() / "bin" / "tavik";
}

LaunchOutcome runLauncher(const LauncherOptions& options, const std::shared_ptr<Workspace>& workspace)
{
    log::Logger log(LauncherBus::launcherName, "App Delegate");
    log.debug("Did finish launching");

    std::unique_ptr<sdbus::IConnection> connection;
    try {
        connection = sdbus::createSessionBusConnection();
    } catch (const sdbus::Error& error) {
        log.error("Cannot reach the session bus: {}", error.getMessage());
        return LaunchOutcome::noSessionBus;
    }

    // Listen before Tavik is started, so that a quick answer is not missed.
    QuitRequest quitRequest;
    sdbus::Slot quitMatch;
    try {
        quitMatch = connection->addMatch(LauncherBus::quitSignalMatchRule(), [&quitRequest](sdbus::Message&) { quitRequest.post(); });
    } catch (const sdbus::Error& error) {
        log.error("Cannot listen for the quit notification: {}", error.getMessage());
        return LaunchOutcome::noSessionBus;
    }
    try {
        connection->requestName(LauncherBus::launcherName);
    } catch (const sdbus::Error& error) {
        log.defaultLevel("Another launcher is running: {}", error.getMessage());
        return LaunchOutcome::anotherLauncherRunning;
    }

    auto tavikRunning = isNameOnBus(*connection, LauncherBus::tavikName);
    if (!tavikRunning) {
        log.error("Cannot reach the session bus: {}", tavikRunning.error()->description());
        return LaunchOutcome::noSessionBus;
    }
    if (*tavikRunning) {
        log.debug("Tavik is already running");
        return LaunchOutcome::alreadyRunning;
    }

    auto launched = workspace->launchProgram(options.tavikExecutable);
    if (!launched) {
        log.error("Failed to launch main app: {}", launched.error()->description());
        return LaunchOutcome::launchFailed;
    }
    log.debug("Launched main app, waiting for termination notification");

    connection->enterEventLoopAsync();
    bool quitPosted = quitRequest.waitFor(options.quitTimeout);
    connection->leaveEventLoop();
    if (quitPosted) {
        log.defaultLevel("Main app has requested launcher to quit");
        return LaunchOutcome::quitRequested;
    }
    log.defaultLevel("Main app did not request launcher to quit within {} seconds; quiting", options.quitTimeout.count());
    return LaunchOutcome::timedOut;
}

int exitStatus(LaunchOutcome outcome)
{
    switch (outcome) {
    case LaunchOutcome::launchFailed:
    case LaunchOutcome::noSessionBus:
        return 1;
    default:
        return 0;
    }
}

} // namespace tavik::launcher
