#include "Tavik/file-handling/DiskImageServiceSession.hpp"

namespace tavik {

std::shared_ptr<DiskImageServiceSession> DiskImageServiceSession::make(Connect connect, ErrorPtr unavailable)
{
    return std::shared_ptr<DiskImageServiceSession>(new DiskImageServiceSession(std::move(connect), std::move(unavailable)));
}

DiskImageServiceSession::DiskImageServiceSession(Connect connect, ErrorPtr unavailable)
    : connect_(std::move(connect))
    , unavailable_(std::move(unavailable))
{
}

std::shared_ptr<service::DuvrinXPCServiceProtocol> DiskImageServiceSession::connectFor(service::ServiceErrorHandler answerWithError) const
{
    auto proxy = connect_(answerWithError);
    if (!proxy)
        answerWithError(unavailable_);
    return proxy;
}

void DiskImageServiceSession::mountDMG(const URL& dmg, const URL& mountPoint, service::MountDMGResponse response)
{
    // The connection answers through the reply or through its error handler,
    // never both, so the two share the one response.
    auto shared = std::make_shared<service::MountDMGResponse>(std::move(response));
    auto proxy = connectFor([shared](ErrorPtr error) { (*shared)(std::nullopt, std::move(error)); });
    if (!proxy)
        return;
    std::weak_ptr<DiskImageServiceSession> weakSelf = weak_from_this();
    proxy->mountDMG(dmg, mountPoint, [weakSelf, shared](std::optional<URL> mounted, ErrorPtr error) {
        // Recorded before the answer goes on, so that a search that ends
        // with this answer finds it among the attached ones. A reply that
        // also carries an error is invalid, but the image may be attached.
        if (auto self = weakSelf.lock(); self && mounted) {
            std::lock_guard lock(self->mutex_);
            self->attached_.push_back(*mounted);
        }
        (*shared)(std::move(mounted), std::move(error));
    });
}

void DiskImageServiceSession::unmountDMGWithMountPath(const URL& mountPath, service::UnmountDMGResponse response)
{
    auto shared = std::make_shared<service::UnmountDMGResponse>(std::move(response));
    auto proxy = connectFor([shared](ErrorPtr error) {
        if (*shared)
            (*shared)(std::move(error));
    });
    if (!proxy)
        return;
    // An empty response stays empty: the detach's outcome is then only logged.
    proxy->unmountDMGWithMountPath(mountPath, *shared ? service::UnmountDMGResponse([shared](ErrorPtr error) { (*shared)(std::move(error)); }) : service::UnmountDMGResponse());
}

std::vector<URL> DiskImageServiceSession::attachedMountPoints() const
{
    std::lock_guard lock(mutex_);
    return attached_;
}

bool mayStillBeRunning(const ErrorPtr& error)
{
    auto* connectionError = dynamic_cast<const service::ServiceConnectionError*>(error.get());
    return connectionError && connectionError->reason() == service::ServiceConnectionError::Reason::timedOut;
}

} // namespace tavik
