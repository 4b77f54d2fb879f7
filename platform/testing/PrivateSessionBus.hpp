#pragma once

#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <filesystem>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tavik::testing {

// A private D-Bus session bus for one test: a dbus-daemon of its own whose
// default policy lets everyone send and own names, and which starts the
// services described by the .service files in the given folders on demand.
// While it exists, DBUS_SESSION_BUS_ADDRESS in this process points at it.
class PrivateSessionBus {
public:
    struct Options {
        std::vector<std::filesystem::path> serviceDirectories;
        // Variables set for the daemon, and so for the services it starts.
        std::map<std::string, std::string> environment;
    };

    PrivateSessionBus();
    explicit PrivateSessionBus(const Options& options);
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    const std::string& address() const { return address_; }
    // Kills the daemon at once, as when the session ends under its clients;
    // the address stays set, so reconnecting fails as it would then.
    void kill();

private:
    ScratchFolder folder_ {"tavik-bus"};
    std::string address_;
    pid_t daemon_ = -1;
    ScopedEnvironment environment_;
};

} // namespace tavik::testing
