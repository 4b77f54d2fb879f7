#pragma once

// The disk image service as one file's handling calls it. Every call gets its
// answer, also when the connection fails (the answer then carries the
// connection's error), so a nested image that cannot be attached fails only
// its own search; and every image attached through it is remembered, so that
// the clean-up can detach all of them, whatever the search found.

#include "service-protocol/DuvrinXPCServiceProtocol.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace tavik {

class DiskImageServiceSession final : public service::DuvrinXPCServiceProtocol,
                                      public std::enable_shared_from_this<DiskImageServiceSession> {
public:
    // Opens a new connection whose failures go to the given handler and
    // returns its proxy; null when it yields none.
    using Connect = std::function<std::shared_ptr<service::DuvrinXPCServiceProtocol>(service::ServiceErrorHandler)>;

    // A call is answered with `unavailable` when its connection yields no proxy.
    static std::shared_ptr<DiskImageServiceSession> make(Connect connect, ErrorPtr unavailable);

    void mountDMG(const URL& dmg, const URL& mountPoint, service::MountDMGResponse response) override;
    void unmountDMGWithMountPath(const URL& mountPath, service::UnmountDMGResponse response) override;

    // Where the service reported images attached through this session, in the
    // order of its replies.
    std::vector<URL> attachedMountPoints() const;

private:
    DiskImageServiceSession(Connect connect, ErrorPtr unavailable);

    // Each call has a connection of its own, so that a connection failure
    // reaches the call it belongs to.
    std::shared_ptr<service::DuvrinXPCServiceProtocol> connectFor(service::ServiceErrorHandler answerWithError) const;

    const Connect connect_;
    const ErrorPtr unavailable_;
    mutable std::mutex mutex_;
    std::vector<URL> attached_;
};

// Whether a detach that ended with this error may still be going on in the
// service: the call gave up waiting, the service did not.
bool mayStillBeRunning(const ErrorPtr& error);

} // namespace tavik
