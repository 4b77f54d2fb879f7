#pragma once

#include "service-protocol/DuvrinXPCServiceProtocol.hpp"

#include <chrono>
#include <memory>
#include <string>

namespace tavik::service {

// Why a call to the service could not be made or answered.
class ServiceConnectionError final : public Error {
public:
    enum class Reason {
        noBus, // no session bus to connect to
        notStartable, // no such service, or the bus could not start it
        timedOut, // no answer in time
        interrupted, // the service went away, or answered with a D-Bus error
        invalidReply, // the answer did not have the agreed form
        invalidRequest, // the call could not be sent (a path that is not UTF-8)
    };

    ServiceConnectionError(Reason reason, std::string detail);
    static ErrorPtr make(Reason reason, std::string detail);

    Reason reason() const { return reason_; }
    const std::string& detail() const { return detail_; }

    std::string description() const override;
    std::string domain() const override { return "app.tavik.DuvrinXPC.ConnectionError"; }
    int code() const override { return static_cast<int>(reason_); }

private:
    Reason reason_;
    std::string detail_;
};

using ServiceErrorHandler = std::function<void(ErrorPtr error)>;

// A connection to the disk image service by its service name, made for one
// use (a search, a clean-up). Its remote proxy sends each call on a session
// bus connection of its own, from a background thread, so calls never wait on
// one another; replies and the error handler run on that background thread.
// For every call either the reply block (if any) or the error handler is
// called, at most once.
class DuvrinXPCConnection {
public:
    struct Options {
        std::string serviceName;
        // Attaching a large image can take minutes; the bus default of 25 s is too short.
        std::chrono::milliseconds mountTimeout {std::chrono::minutes(10)};
        std::chrono::milliseconds unmountTimeout {std::chrono::minutes(2)};
    };

    // Connects by the service's name, app.tavik.DuvrinXPC.
    DuvrinXPCConnection();
    explicit DuvrinXPCConnection(Options options);

    const std::string& serviceName() const { return options_.serviceName; }

    // The remote object. Calls that cannot be made or answered (no bus,
    // service not startable, time-out) call the error handler instead of the
    // reply block. The proxy may outlive the connection object.
    std::shared_ptr<DuvrinXPCServiceProtocol> remoteObjectProxyWithErrorHandler(ServiceErrorHandler handler) const;

private:
    Options options_;
};

} // namespace tavik::service
