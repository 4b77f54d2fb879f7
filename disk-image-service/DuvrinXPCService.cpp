#include "disk-image-service/DuvrinXPCService.hpp"

#include "disk-image-service/BusyImageCopies.hpp"
#include "disk-image-service/HDIUtilOutput.hpp"
#include "disk-image-service/MountDMGError.hpp"
#include "disk-image-service/TemporaryFiles.hpp"
#include "platform/foundation/BoundedText.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/TemporaryDirectory.hpp"
#include "platform/process/ChildProcess.hpp"
#include "platform/strings/UTF8.hpp"
#include "service-protocol/DBusMapping.hpp"

#include <cerrno>

namespace tavik::service {

DuvrinXPCService::DuvrinXPCService(log::Logger log)
    : DuvrinXPCService(std::move(log), Options {})
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
    return tavik::temporaryDirectory();
}

void DuvrinXPCService::removeLeftoverCopies() const
{
    if (auto folder = temporaryDirectory())
        BusyImageCopies(folder->path()).removeLeftovers();
}

namespace {

using process::ChildOutcome;

// What hdiutil said went wrong, for the error the caller shows.
std::string complaintOf(const ChildOutcome& tool)
{
    std::string text = tool.standardError;
    if (!isValidUTF8(text))
        return {};
    if (text.starts_with("hdiutil: "))
        text.erase(0, 9);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

Result<ChildOutcome> runHDIUtil(const std::filesystem::path& launchPath, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), {launchPath.string(), "hdiutil"});
    process::ChildOptions limits;
    limits.outputLimit = DuvrinXPCService::outputLimit;
    limits.errorLimit = DuvrinXPCService::messageLimit;
    return process::runChild(arguments, limits);
}

} // namespace

void DuvrinXPCService::mountDMG(const URL& dmg, const URL& mountPoint, MountDMGResponse response)
{
    attach(dmg, mountPoint, false, std::move(response));
}

void DuvrinXPCService::attach(const URL& dmg, const URL& mountPoint, bool copy, MountDMGResponse response)
{
    auto ran = runHDIUtil(options_.launchPath, {"attach", "-nobrowse", "-readonly", "-plist", "-mountpoint", mountPoint.path().string(), "-noautoopen", dmg.path().string()});
    if (!ran) {
        response(std::nullopt, ran.error());
        return;
    }
    const ChildOutcome& tool = *ran;

    if (tool.status() == 0) {
        auto output = HDIUtilOutput::decode(tool.standardOutput);
        if (!output) {
            log_.error("Failed to decode `hdiutil` output as plist: {}\nOutput\n{}", output.error()->description(),
                isValidUTF8(tool.standardOutput) ? abridged(tool.standardOutput, messageLimit)
                                                 : "Output was not valid UTF8");
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

    bool readable = isValidUTF8(tool.standardError);
    if (readable && tool.standardError.ends_with("Resource busy")) {
        // A copy is attached once; busy again, it is given up.
        if (copy) {
            response(std::nullopt, MountDMGError::failedToCopyDMG(FileError::fromErrno(EBUSY, dmg.path(), false)));
            return;
        }
        // The image is attached elsewhere: attach a copy of it instead, and
        // remove the copy unless its attach succeeds.
        auto folder = temporaryDirectory();
        if (!folder) {
            response(std::nullopt, MountDMGError::failedToCopyDMG(folder.error()));
            return;
        }
        BusyImageCopies copies(folder->path());
        auto made = copies.make(dmg.path(), mountPoint.path());
        if (!made) {
            response(std::nullopt, MountDMGError::failedToCopyDMG(made.error()));
            return;
        }
        const auto copyPath = *made;
        attach(URL::fileURL(copyPath, false), mountPoint, true,
            [&copies, &copyPath, &response](std::optional<URL> url, ErrorPtr error) {
                if (!url)
                    copies.discard(copyPath);
                response(std::move(url), std::move(error));
            });
        return;
    }

    log_.error("`hdiutil` failed with exit code {}.\nstderr: {}", tool.status(),
        readable ? tool.standardError : "<invalid UTF8>");
    response(std::nullopt, MountDMGError::exitCode(tool.status(), complaintOf(tool)));
}

void DuvrinXPCService::unmountDMGWithMountPath(const URL& mountPath, UnmountDMGResponse response)
{
    auto ran = runHDIUtil(options_.launchPath, {"detach", mountPath.path().string()});
    if (!ran) {
        if (response)
            response(ran.error());
        return;
    }
    if (ran->status() == 0) {
        if (auto folder = temporaryDirectory())
            BusyImageCopies(folder->path()).mountPointDetached(mountPath.path());
        if (response)
            response(nullptr);
        return;
    }
    log_.error("`hdiutil` failed with exit code {}.\nstderr: {}", ran->status(),
        isValidUTF8(ran->standardError) ? ran->standardError : "<invalid UTF8>");
    if (response)
        response(MountDMGError::exitCode(ran->status(), complaintOf(*ran)));
}

} // namespace tavik::service
