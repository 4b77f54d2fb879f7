#pragma once

// The actions that attach a disk image through the disk image service, search
// the mounted volume for applications, packages and nested archives and
// images, and detach it again.

#include "Tavik/file-handling/InstallableApplication.hpp"
#include "actions/FileAction.hpp"
#include "platform/filemanager/FileManager.hpp"
#include "platform/log/Logger.hpp"
#include "service-protocol/DuvrinXPCServiceProtocol.hpp"

#include <memory>
#include <variant>
#include <vector>

namespace tavik {

// The disk image service's proxy; the actions that call it need a real one (never null).
using DuvrinServicePtr = std::shared_ptr<service::DuvrinXPCServiceProtocol>;

// An attached disk image and where its volume is mounted.
struct DMGMountpoint {
    URL dmgURL;
    URL mountURL;

    bool operator==(const DMGMountpoint&) const = default;
};

// Attaches a disk image at a new folder under the temporary folder's "mounts"
// and reports where the service mounted it. Completes on the thread the
// service replies on.
class MountDMGAction : public actions::FileActionBuilders<MountDMGAction> {
public:
    using Input = URL;
    using Output = DMGMountpoint;

    class XPCError final : public Error {
    public:
        enum class Code {
            invalidResponse, // the reply carried both a mount point and an error, or neither
        };
        explicit XPCError(Code code)
            : code_(code)
        {
        }
        static ErrorPtr make(Code code) { return std::make_shared<const XPCError>(code); }
        Code errorCode() const { return code_; }
        std::string description() const override;
        std::string domain() const override { return "app.tavik.TavikActions.MountDMGAction.XPCError"; }
        int code() const override { return static_cast<int>(code_); }

    private:
        Code code_;
    };

    MountDMGAction(DuvrinServicePtr duvrinService, log::Logger log);

    void perform(URL dmgURL, actions::Completion<Input, Output> completion) const;

    // Where an image would be mounted: "mounts/<image name>_<unique>" under
    // the temporary folder, different on every call.
    static Result<URL> newMountPoint(const URL& dmgURL);

    DuvrinServicePtr duvrinService;
    log::Logger log;
};

// Walks a mounted volume for applications and installer packages; ZIP
// archives and disk images on it are searched concurrently and their items
// added. Hidden items and the insides of bundles are not visited; symbolic
// links are visited but never followed. Completes on the global queue.
class FindApplicationInDMGMountPointAction : public actions::FileActionBuilders<FindApplicationInDMGMountPointAction> {
public:
    using Input = DMGMountpoint;
    using Output = std::vector<InstallableApplication>;

    class Error final : public tavik::Error {
    public:
        enum class Code {
            failedToGetDirectoryEnumerator,
        };
        explicit Error(Code code, std::string path)
            : code_(code)
            , path_(std::move(path))
        {
        }
        static ErrorPtr make(Code code, std::string path) { return std::make_shared<const Error>(code, std::move(path)); }
        Code errorCode() const { return code_; }
        std::string description() const override;
        std::optional<std::string> failureReason() const override { return path_; }
        std::string domain() const override { return "app.tavik.TavikActions.FindApplicationInDMGMountPointAction.Error"; }
        int code() const override { return static_cast<int>(code_); }

    private:
        Code code_;
        std::string path_;
    };

    FindApplicationInDMGMountPointAction(URL destination, DuvrinServicePtr duvrinService,
        InstallableApplication::Source parentSource, std::shared_ptr<FileManager> fileManager, log::Logger log);

    void perform(DMGMountpoint mountpoint, actions::Completion<Input, Output> completion) const;

    URL destination;
    DuvrinServicePtr duvrinService;
    InstallableApplication::Source parentSource;
    std::shared_ptr<FileManager> fileManager;
    log::Logger log;
};

// Attaches a disk image, then searches its volume. The image stays attached.
class FindApplicationsInDMGAction : public actions::FileActionBuilders<FindApplicationsInDMGAction> {
public:
    using Input = URL;
    using Output = std::vector<InstallableApplication>;

    FindApplicationsInDMGAction(URL destination, InstallableApplication::Source parentSource, DuvrinServicePtr duvrinService);

    void perform(URL dmgURL, actions::Completion<Input, Output> completion) const;

    URL destination;
    InstallableApplication::Source parentSource;
    DuvrinServicePtr duvrinService;
};

// Detaches the image mounted at a mount point and removes the emptied folder.
class UnmountDMGAction : public actions::FileActionBuilders<UnmountDMGAction> {
public:
    using Input = URL;
    using Output = std::monostate;

    UnmountDMGAction(DuvrinServicePtr duvrinService, log::Logger log);

    void perform(URL mountURL, actions::Completion<Input, Output> completion) const;

    DuvrinServicePtr duvrinService;
    log::Logger log;
};

} // namespace tavik
