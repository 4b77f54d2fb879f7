#pragma once

// What Tavik and tavik-launcher share on the session bus: the names each
// owns while it runs, and the signal by which Tavik releases the launcher.

#include "platform/foundation/Result.hpp"

#include <string>

namespace sdbus {
class IConnection;
} // namespace sdbus

namespace tavik::launcher {

struct LauncherBus {
    static constexpr const char* tavikName = "app.tavik.Tavik";
    static constexpr const char* launcherName = "app.tavik.TavikLauncher";
    // Sent to everyone on the bus, from Tavik's object, once Tavik has launched.
    static constexpr const char* quitSignalPath = "/app/tavik/Tavik";
    static constexpr const char* quitSignalInterface = "app.tavik.DistributedNotifications";
    static constexpr const char* quitSignalName = "QUIT_TAVIK_LAUNCHER";

    // The match rule that catches the quit signal from any sender.
    static std::string quitSignalMatchRule();
};

// Whether some process owns `name` on the connection's bus, or on the
// session bus; an error when the bus cannot be asked.
Result<bool> isNameOnBus(sdbus::IConnection& connection, const std::string& name);
Result<bool> isNameOnSessionBus(const std::string& name);

// Sends "QUIT_TAVIK_LAUNCHER" to the session bus.
Result<void> postQuitTavikLauncher();

} // namespace tavik::launcher
