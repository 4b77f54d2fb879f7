#pragma once

// One Tavik per session: the running one owns the bus name app.tavik.Tavik
// and takes files handed in by later starts, as if they had been dropped on
// one of its icons.

#include "Tavik/file-handling/FileSource.hpp"
#include "launcher/LauncherBus.hpp"
#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sdbus {
class IConnection;
class IObject;
} // namespace sdbus

namespace tavik {

struct AppBus {
    // The launcher waits for the name and listens to the object.
    static constexpr const char* name = launcher::LauncherBus::tavikName;
    static constexpr const char* objectPath = launcher::LauncherBus::quitSignalPath;
    static constexpr const char* interfaceName = "app.tavik.Tavik";
    static constexpr const char* openMethod = "Open";
    // Asks the running Tavik to show its file sources window; answers
    // whether it has one to show (a headless Tavik has not).
    static constexpr const char* reopenMethod = "Reopen";

    // "app-icon" or "status-bar", as the command line spells the targets.
    static std::optional<FileSource> dropTarget(const std::string& text);
    static std::string dropTargetName(FileSource target);
};

// Owns the bus name while it exists and serves Open on a thread of its own.
class AppBusService {
public:
    // Called with absolute file URLs and the icon they were dropped on.
    using OpenHandler = std::function<void(std::vector<URL> files, FileSource target)>;
    // Called on the service's thread; answers whether a window will show.
    using ReopenHandler = std::function<bool()>;
    // Called once, on the service's thread, when the bus went away under it.
    using LostHandler = std::function<void(const std::string& failure)>;

    // Fails when there is no session bus or another process owns the name.
    // Without a reopen handler, Reopen answers false.
    static Result<std::unique_ptr<AppBusService>> start(OpenHandler handler, ReopenHandler reopen = {},
        LostHandler lost = {});
    ~AppBusService();

    AppBusService(const AppBusService&) = delete;
    AppBusService& operator=(const AppBusService&) = delete;

private:
    AppBusService() = default;
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
    std::thread eventLoop_;
    std::atomic<bool> stopping_ {false};
};

// Hands files to the running Tavik. True when one took them, false when none
// runs; an error when there is no session bus or the call failed.
Result<bool> openInRunningInstance(const std::vector<URL>& files, FileSource target);

// Asks the running Tavik to show its file sources window. False when none
// runs; true when one answered (whether it had a window to show or not).
Result<bool> reopenRunningInstance();

} // namespace tavik
