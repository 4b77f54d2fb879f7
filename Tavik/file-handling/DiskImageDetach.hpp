#pragma once

// Detaches disk images through the disk image service, one UnmountDMGAction
// each, and says once when that is over. Both the clean-up after a file and
// the sweep of mount points an earlier run left behind detach this way.

#include "Tavik/file-handling/DiskImageServiceSession.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/URL.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tavik {

struct DiskImageDetach {
    // Called as each detach answers: by the service, or with its
    // connection's error. The error is null when the image was detached.
    std::function<void(const URL& mountPoint, const ErrorPtr& error)> answered;
    // Called once: when every detach has answered, or when the wait ran out
    // first. `allOver` is false when a detach had not answered by then or
    // gave up waiting on a service that may still be detaching. Runs on the
    // global queue, or at once when there is nothing to detach.
    std::function<void(bool allOver)> done;
    // How long `done` waits for the answers; none waits for all of them.
    std::optional<std::chrono::milliseconds> timeout;
};

// The session answers every call, also when its connection fails, so without
// a timeout `done` still comes once the connections have given up.
void detachDiskImages(const std::shared_ptr<DiskImageServiceSession>& service, const std::vector<URL>& mountPoints,
    DiskImageDetach detach);

} // namespace tavik
