#pragma once

#include "disk-image-service/DuvrinXPCService.hpp"
#include "disk-image-service/IdleMonitor.hpp"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace sdbus {
class IConnection;
class IObject;
class MethodCall;
} // namespace sdbus

namespace tavik::service {

// Accepts every caller and gives each its own DuvrinXPCService with its log
// handle; forgets a caller's service when it leaves the bus.
class ServiceDelegate {
public:
    explicit ServiceDelegate(DuvrinXPCService::Options options = {});

    std::shared_ptr<DuvrinXPCService> serviceFor(const std::string& peer);
    void peerLeft(const std::string& peer);
    size_t peerCount() const;

private:
    DuvrinXPCService::Options options_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<DuvrinXPCService>> services_;
};

// Exports DuvrinXPCServiceProtocol on the session bus under the service name
// and serves calls until it has been idle for the idle timeout. Each call
// runs on a thread of its own and replies from there, so a slow hdiutil for
// one image never holds up another call.
class ServiceListener {
public:
    struct Options {
        std::string busName;
        std::chrono::milliseconds idleTimeout {std::chrono::seconds(30)};
        DuvrinXPCService::Options service;
    };

    explicit ServiceListener(Options options);
    ~ServiceListener();
    ServiceListener(const ServiceListener&) = delete;
    ServiceListener& operator=(const ServiceListener&) = delete;

    // Connects, owns the name and serves until idle. Returns the process's
    // exit status: 0 after an idle quit, 1 when the bus could not be used or
    // went away.
    int run();

private:
    void mountDMG(sdbus::MethodCall call);
    void unmountDMGWithMountPath(sdbus::MethodCall call);

    Options options_;
    ServiceDelegate delegate_;
    IdleMonitor monitor_;
};

} // namespace tavik::service
