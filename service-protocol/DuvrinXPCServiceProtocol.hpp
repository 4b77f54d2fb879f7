#pragma once

#include "platform/foundation/Error.hpp"
#include "platform/foundation/URL.hpp"

#include <functional>
#include <optional>

namespace tavik::service {

// The reply to an attach: the mount point the volume was attached at and an
// error, each optional, so that "both" and "neither" can be sent as well.
using MountDMGResponse = std::function<void(std::optional<URL> mountPoint, ErrorPtr error)>;
// The reply to a detach: an error, or none on success.
using UnmountDMGResponse = std::function<void(ErrorPtr error)>;

// The interface of the disk image service, shared by the application (which
// calls it through a remote proxy) and duvrin-xpc (which implements it).
class DuvrinXPCServiceProtocol {
public:
    virtual ~DuvrinXPCServiceProtocol() = default;

    // mountDMG:at:response: attaches the image read-only at the mount point
    // directory (which the caller has created) and replies once.
    virtual void mountDMG(const URL& dmg, const URL& mountPoint, MountDMGResponse response) = 0;

    // unmountDMGWithMountPath:response: detaches the image mounted at the
    // path. The response may be empty: then the outcome is only logged.
    virtual void unmountDMGWithMountPath(const URL& mountPath, UnmountDMGResponse response) = 0;
};

} // namespace tavik::service
