#include "disk-image-service/DuvrinXPCService.hpp"

#include "disk-image-service/HDIUtilOutput.hpp"
#include "disk-image-service/MountDMGError.hpp"
#include "disk-image-service/TemporaryFiles.hpp"
#include "disk-image-service/ToolProcess.hpp"
#include "service-protocol/DBusMapping.hpp"

namespace tavik::service {

DuvrinXPCService::DuvrinXPCService(log::Logger log)
    : DuvrinXPCService(std::move(log), Options{})
{
}

DuvrinXPCService::DuvrinXPCService(log::Logger log, Options options)
    : log_(std::move(log))
    , options_(std::move(options))
{
}

Result<URL> DuvrinXPCService::temporaryDirectory() const
{
    if (options_.temporaryDirectory)
        return URL::fileURL(*options_.temporaryDirectory, true);
    return processTemporaryDirectory();
}

void DuvrinXPCService::mountDMG(const URL& dmg, const URL& mountPoint, MountDMGResponse response)
{
    auto ran = runTool(options_.launchPath,
        {"hdiutil", "attach", "-nobrowse", "-readonly", "-plist", "-mountpoint", mountPoint.path().string(),
            "-noautoopen", dmg.path().string()});
    if (!ran) {
        response(std::nullopt, ran.error());
        return;
    }
    const ToolOutput& tool = *ran;

    if (tool.status == 0) {
        auto output = HDIUtilOutput::decode(tool.standardOutput);
        if (!output) {
            log_.error("Failed to decode `hdiutil` output as plist: {}\nOutput\n{}", output.error()->description(),
                dbus::isValidUTF8(tool.standardOutput) ? tool.standardOutput : "Output was not valid UTF8");
            response(std::nullopt, MountDMGError::invalidOutput());
            return;
        }
        for (const auto& entity : output->systemEntities) {
            if (entity.mountPoint) {
                response(entity.mountPoint, nullptr);
                return;
            }
        }
        log_.defaultLevel("DMG attach did not mount any volumes");
        response(std::nullopt, nullptr);
        return;
    }

    bool readable = dbus::isValidUTF8(tool.standardError);
    if (readable && tool.standardError.ends_with("Resource busy")) {
        // The image is attached elsewhere: attach a copy of it instead. A
        // second busy answer fails here, as the copy exists by then.
        auto folder = temporaryDirectory();
        if (!folder) {
            response(std::nullopt, MountDMGError::failedToCopyDMG(folder.error()));
            return;
        }
        URL copy = folder->appendingPathComponent(dmg.lastPathComponent(), false);
        if (auto copied = copyItem(dmg.path(), copy.path()); !copied) {
            response(std::nullopt, MountDMGError::failedToCopyDMG(copied.error()));
            return;
        }
        mountDMG(copy, mountPoint, std::move(response));
        return;
    }

    log_.error("`hdiutil` failed with exit code {}.\nstderr: {}", tool.status,
        readable ? tool.standardError : "<invalid UTF8>");
    response(std::nullopt, MountDMGError::exitCode(tool.status));
}

void DuvrinXPCService::unmountDMGWithMountPath(const URL& mountPath, UnmountDMGResponse response)
{
    auto ran = runTool(options_.launchPath, {"hdiutil", "detach", mountPath.path().string()});
    if (!ran) {
        if (response)
            response(ran.error());
        return;
    }
    if (ran->status == 0) {
        if (response)
            response(nullptr);
        return;
    }
    log_.error("`hdiutil` failed with exit code {}.\nstderr: {}", ran->status,
        dbus::isValidUTF8(ran->standardError) ? ran->standardError : "<invalid UTF8>");
    if (response)
        response(MountDMGError::exitCode(ran->status));
}

} // namespace tavik::service
