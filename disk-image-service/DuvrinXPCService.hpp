#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/log/Logger.hpp"
#include "service-protocol/DuvrinXPCServiceProtocol.hpp"

#include <filesystem>
#include <optional>

namespace tavik::service {

// The object that serves one connection: attaches and detaches disk images
// by running hdiutil, found through PATH. Keeps no state between calls; each
// call runs to completion on the calling thread and replies before it returns.
class DuvrinXPCService final : public DuvrinXPCServiceProtocol {
public:
    struct Options {
        // What runs hdiutil; "hdiutil" is its first argument.
        std::filesystem::path launchPath = "/usr/bin/env";
        // Where images in use are copied to; the process's temporary folder when absent.
        std::optional<std::filesystem::path> temporaryDirectory;
    };

    explicit DuvrinXPCService(log::Logger log);
    DuvrinXPCService(log::Logger log, Options options);

    const log::Logger& log() const { return log_; }

    void mountDMG(const URL& dmg, const URL& mountPoint, MountDMGResponse response) override;
    void unmountDMGWithMountPath(const URL& mountPath, UnmountDMGResponse response) override;

    // Removes copies of busy images that an earlier run left behind; called
    // when the service starts.
    void removeLeftoverCopies() const;

    // What is kept of hdiutil's output: its property list is a few KiB, and
    // no more than this of any output reaches a message or the log.
    static constexpr size_t outputLimit = 1 << 20;
    static constexpr size_t messageLimit = 4096;

private:
    Result<URL> temporaryDirectory() const;
    // `copy`: the image is a copy made because the original was busy.
    void attach(const URL& dmg, const URL& mountPoint, bool copy, MountDMGResponse response);

    log::Logger log_;
    Options options_;
};

} // namespace tavik::service
