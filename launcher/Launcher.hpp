#pragma once

// tavik-launcher's one job: at login, start Tavik unless it already runs,
// then wait until Tavik says it is up (or give up after a while) and end.

#include "platform/workspace/Workspace.hpp"

#include <chrono>
#include <filesystem>
#include <memory>

namespace tavik::launcher {

enum class LaunchOutcome {
    alreadyRunning, // Tavik owned its bus name: nothing was started
    quitRequested, // Tavik was started and told the launcher to quit
    timedOut, // Tavik was started but did not answer in time
    launchFailed, // Tavik could not be started
    noSessionBus, // the session bus could not be reached
    anotherLauncherRunning, // another launcher owns the launcher's bus name
};

struct LauncherOptions {
    std::filesystem::path tavikExecutable;
    std::chrono::seconds quitTimeout {15};
};

// Where tavik lies for a launcher at `launcherPath`: beside it when it is
// there, else `<prefix>/bin/tavik` for a launcher installed as
// `<prefix>/libexec/tavik/tavik-launcher`.
std::filesystem::path tavikExecutableFor(const std::filesystem::path& launcherPath);

// Owns the launcher's bus name for the whole run. Logs each step under the
// launcher's subsystem, category "App Delegate".
LaunchOutcome runLauncher(const LauncherOptions& options, const std::shared_ptr<Workspace>& workspace = Workspace::shared());

// The process's exit status for an outcome: 0 unless Tavik could not be
// started or the bus could not be reached.
int exitStatus(LaunchOutcome outcome);

} // namespace tavik::launcher
