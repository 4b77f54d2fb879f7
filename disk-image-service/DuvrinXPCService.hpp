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

private:
    Result<URL> temporaryDirectory() const;

    log::Logger log_;
    Options options_;
};

} // namespace tavik::service
