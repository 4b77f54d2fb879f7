#include "Tavik/file-handling/DiskImageActions.hpp"

#include "Tavik/file-handling/TarActions.hpp"
#include "Tavik/file-handling/ZIPActions.hpp"
#include "actions/ActionsLog.hpp"
#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/TemporaryDirectory.hpp"
#include "platform/foundation/TypeIdentifier.hpp"
#include "platform/foundation/UUID.hpp"

#include <cerrno>
#include <mutex>
#include <unistd.h>

namespace tavik {

using actions::FileActionResult;

// MountDMGAction

std::string MountDMGAction::XPCError::description() const
{
    return "Duvrin service returned an invalid response";
}

MountDMGAction::MountDMGAction(DuvrinServicePtr duvrinService, log::Logger log)
    : duvrinService(std::move(duvrinService))
    , log(std::move(log))
{
}

Result<URL> MountDMGAction::newMountPoint(const URL& dmgURL)
{
    auto temporary = TAVIK_TRY(temporaryDirectory());
    auto name = dmgURL.lastPathComponent() + "_" + UUID().uuidString();
    auto mountPoint = URL::fileURL(temporary.path(), true).appendingPathComponent("mounts", true).appendingPathComponent(name, true);
    TAVIK_TRY_VOID(FileManager::defaultManager()->createDirectory(mountPoint, true));
    return mountPoint;
}

void MountDMGAction::perform(URL dmgURL, actions::Completion<Input, Output> completion) const
{
    using ResultType = FileActionResult<Input, Output>;
    auto mountPoint = newMountPoint(dmgURL);
    if (!mountPoint) {
        log.error("Failed to create temp directory {}", mountPoint.error()->description());
        completion(ResultType::failure(std::move(dmgURL), mountPoint.error()));
        return;
    }
    log.info("Requesting duvrin service to mount DMG at {} on to {}", dmgURL.path().string(), mountPoint->path().string());
    duvrinService->mountDMG(dmgURL, *mountPoint,
        [log = log, dmgURL, completion = std::move(completion)](std::optional<URL> mounted, ErrorPtr error) {
            if (mounted && !error) {
                log.debug("Duvrin service mounted DMG from {} on {}", dmgURL.path().string(), mounted->path().string());
                completion(ResultType::mapped(dmgURL, DMGMountpoint {dmgURL, *mounted}));
            } else if (error && !mounted) {
                log.error("Duvrin service failed to mount DMG at {}: {}", dmgURL.path().string(), error->description());
                completion(ResultType::failure(dmgURL, std::move(error)));
            } else {
                completion(ResultType::failure(dmgURL, XPCError::make(XPCError::Code::invalidResponse)));
            }
        });
}

// FindApplicationInDMGMountPointAction

std::string FindApplicationInDMGMountPointAction::Error::description() const
{
    return "Failed to get a directory enumerator for the mounted disk image";
}

FindApplicationInDMGMountPointAction::FindApplicationInDMGMountPointAction(URL destination, DuvrinServicePtr duvrinService,
    InstallableApplication::Source parentSource, std::shared_ptr<FileManager> fileManager, log::Logger log)
    : destination(std::move(destination))
    , duvrinService(std::move(duvrinService))
    , parentSource(std::move(parentSource))
    , fileManager(std::move(fileManager))
    , log(std::move(log))
{
}

namespace {

// The items found on one volume, appended from the walk and from the nested
// searches' completions.
class FoundItems {
public:
    void append(InstallableApplication item)
    {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(item));
    }
    void append(const std::vector<InstallableApplication>& items)
    {
        std::lock_guard lock(mutex_);
        items_.insert(items_.end(), items.begin(), items.end());
    }
    std::vector<InstallableApplication> take()
    {
        std::lock_guard lock(mutex_);
        return std::move(items_);
    }

private:
    std::mutex mutex_;
    std::vector<InstallableApplication> items_;
};

// Runs a nested search on the global queue, adding its items when it maps.
template <class NestedAction>
void startNested(NestedAction action, URL url, std::shared_ptr<FoundItems> found, dispatch::DispatchGroup group)
{
    group.enter();
    dispatch::DispatchQueue::global()->async([action = std::move(action), url = std::move(url), found, group]() {
        action.perform(url, [found, group](FileActionResult<URL, std::vector<InstallableApplication>> result) mutable {
            if (auto* items = result.output())
                found->append(*items);
            group.leave();
        });
    });
}

} // namespace

void FindApplicationInDMGMountPointAction::perform(DMGMountpoint mountpoint, actions::Completion<Input, Output> completion) const
{
    using ResultType = FileActionResult<Input, Output>;
    auto resolved = mountpoint.mountURL.resolvingSymlinksInPath();
    log.defaultLevel("Finding applications at {} (resolved as {}", mountpoint.mountURL.path().string(), resolved.path().string());

    auto enumerator = fileManager->enumerator(resolved,
        DirectoryEnumerator::skipsHiddenFiles | DirectoryEnumerator::skipsPackageDescendants);
    if (!enumerator) {
        log.error("Failed to get directory enumerator for {}", resolved.path().string());
        completion(ResultType::failure(std::move(mountpoint),
            Error::make(Error::Code::failedToGetDirectoryEnumerator, resolved.path().string())));
        return;
    }

    auto source = InstallableApplication::Source::dmg(mountpoint.dmgURL, mountpoint.mountURL, parentSource);
    auto found = std::make_shared<FoundItems>();
    dispatch::DispatchGroup group;
    auto& walk = **enumerator;
    while (auto item = walk.nextObject()) {
        auto values = ResourceValues::of(item->path());
        if (!values) {
            log.error("Failed to get resource values for {}: {}", item->path().string(), values.error()->description());
            continue;
        }
        if (values->isApplication) {
            log.info("Found application at {}", item->path().string());
            found->append(InstallableApplication {*item, source, InstallableApplication::Kind::application});
            walk.skipDescendants();
        } else if (values->typeIdentifier == TypeIdentifiers::installerPackage) {
            log.info("Found PKG at {}", item->path().string());
            found->append(InstallableApplication {*item, source, InstallableApplication::Kind::package});
            walk.skipDescendants();
        } else if (values->typeIdentifier == TypeIdentifiers::appImage) {
            log.info("Found AppImage at {}", item->path().string());
            found->append(InstallableApplication {*item, source, InstallableApplication::Kind::application});
        } else if (values->typeIdentifier == TypeIdentifiers::debianPackage || values->typeIdentifier == TypeIdentifiers::rpmPackage) {
            log.info("Found PKG at {}", item->path().string());
            found->append(InstallableApplication {*item, source, InstallableApplication::Kind::package});
        } else if (values->typeIdentifier == TypeIdentifiers::tarArchive) {
            startNested(ExtractApplicationsInTarAction(destination, duvrinService, source), *item, found, group);
        } else if (values->typeIdentifier == TypeIdentifiers::zipArchive) {
            startNested(ExtractApplicationsInZIPAction(destination, duvrinService, source), *item, found, group);
        } else if (values->typeIdentifier == TypeIdentifiers::diskImage) {
            startNested(FindApplicationsInDMGAction(destination, source, duvrinService), *item, found, group);
        }
    }

    group.notify(dispatch::DispatchQueue::global(),
        [found, mountpoint = std::move(mountpoint), completion = std::move(completion)]() mutable {
            completion(ResultType::mapped(std::move(mountpoint), found->take()));
        });
}

// FindApplicationsInDMGAction

FindApplicationsInDMGAction::FindApplicationsInDMGAction(URL destination, InstallableApplication::Source parentSource,
    DuvrinServicePtr duvrinService)
    : destination(std::move(destination))
    , parentSource(std::move(parentSource))
    , duvrinService(std::move(duvrinService))
{
}

void FindApplicationsInDMGAction::perform(URL dmgURL, actions::Completion<Input, Output> completion) const
{
    MountDMGAction mount(duvrinService, actions::actionsLog("Mount DMG"));
    FindApplicationInDMGMountPointAction find(destination, duvrinService, parentSource, FileManager::defaultManager(),
        actions::actionsLog("Find Applications"));
    mount.then(std::move(find)).perform(std::move(dmgURL), std::move(completion));
}

// UnmountDMGAction

UnmountDMGAction::UnmountDMGAction(DuvrinServicePtr duvrinService, log::Logger log)
    : duvrinService(std::move(duvrinService))
    , log(std::move(log))
{
}

void UnmountDMGAction::perform(URL mountURL, actions::Completion<Input, Output> completion) const
{
    using ResultType = FileActionResult<Input, Output>;
    log.info("Requesting duvrin service to unmount DMG at {}", mountURL.path().string());
    duvrinService->unmountDMGWithMountPath(mountURL,
        [log = log, mountURL, completion = std::move(completion)](ErrorPtr error) {
            if (error) {
                log.error("Failed to unmount DMG: {}", error->description());
                completion(ResultType::failure(mountURL, std::move(error)));
                return;
            }
            // Only the emptied folder goes: should the volume's items still be
            // there, they are not deleted with it.
            if (::rmdir(mountURL.path().c_str()) != 0) {
                completion(ResultType::failure(mountURL, FileError::fromErrno(errno, mountURL.path(), true)));
                return;
            }
            completion(ResultType::mapped(mountURL, std::monostate {}));
        });
}

} // namespace tavik
