#include "Tavik/application/AppDelegate.hpp"

#include "Tavik/configuration/AppPreferences.hpp"
#include "Tavik/file-handling/DiskImageDetach.hpp"
#include "Tavik/file-handling/FileType.hpp"
#include "launcher/LauncherBus.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/filemanager/FileManager.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/TemporaryDirectory.hpp"
#include "platform/foundation/TypeIdentifier.hpp"
#include "platform/updater/UpdaterError.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"

#include <cstdio>
#include <ctime>
#include <filesystem>

namespace tavik {

namespace fs = std::filesystem;

namespace {

constexpr const char* obsoleteConfigurationsKey = "FileSourceConfigurations";
constexpr const char* obsoleteBetaIntroKey = "HasSeenBetaIntro";

void printToStandardOutput(std::string_view line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string dropDescription(FileSource target)
{
    return target == FileSource::statusBarIcon ? "Result of file dropped on menu bar icon: "
                                               : "Result of file dropped on app icon: ";
}

} // namespace

bool AppDelegate::isSupportedDownload(const URL& url)
{
    auto values = ResourceValues::of(url.path());
    return values && FileType(values->typeIdentifier).isSupported();
}

std::shared_ptr<AppDelegate> AppDelegate::make(Environment environment)
{
    return std::shared_ptr<AppDelegate>(new AppDelegate(std::move(environment)));
}

AppDelegate::AppDelegate(Environment environment)
    : environment_(std::move(environment))
    , log_(bundleIdentifier, "App Delegate")
{
    if (!environment_.userDefaults)
        environment_.userDefaults = defaults::UserDefaults::standard();
    if (!environment_.printLine)
        environment_.printLine = printToStandardOutput;
}

void AppDelegate::applicationWillFinishLaunching()
{
    auto& userDefaults = environment_.userDefaults;
    // Earlier versions kept the configurations as one data value under the
    // key that now holds the list; it is not carried over.
    if (auto old = userDefaults->object(obsoleteConfigurationsKey); old && old->data())
        (void)userDefaults->removeObject(obsoleteConfigurationsKey);
    if (userDefaults->object(obsoleteBetaIntroKey))
        (void)userDefaults->removeObject(obsoleteBetaIntroKey);
    if (!environment_.fileSourcesManager)
        environment_.fileSourcesManager = FileSourceConfigurationsManager::shared();
    if (!environment_.applicationsDestinationManager)
        environment_.applicationsDestinationManager = ApplicationsDestinationManager::shared();
    if (!environment_.userInputRequestPerformer)
        environment_.userInputRequestPerformer = UserInputRequestPerformer::shared();

    fileHandler_ = std::make_shared<FileHandler>(environment_.applicationsDestinationManager,
        log::Logger(bundleIdentifier, "File Handler"));
    fileWatchersManager_ = FileWatchersManager::make(fileHandler_, environment_.fileSourcesManager,
        environment_.applicationsDestinationManager, log::Logger(bundleIdentifier, "File Watchers Manager"),
        userDefaults);
}

void AppDelegate::applicationDidFinishLaunching()
{
    auto launcherOnBus = launcher::isNameOnSessionBus(launcher::LauncherBus::launcherName);
    launchedByLauncher_ = launcherOnBus && *launcherOnBus;
    removeLeftoverMounts();

    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    cancellables_.push_back(publisher::combineLatest(hasUnmountedDMGsPublisher(),
        AppPreferences::hasRunInitialSetup().valuePublisher())
                                .sink([weakSelf](const std::pair<bool, bool>& state) {
                                    auto self = weakSelf.lock();
                                    if (self && state.first && state.second)
                                        self->fileWatchersManager_->startWatching();
                                }));

    cancellables_.push_back(environment_.fileSourcesManager->fileSourceConfigurationsPublisher().sink(
        [weakSelf](const FileSourceConfigurationsManager::Configurations& configurations) {
            auto self = weakSelf.lock();
            if (!self)
                return;
            for (const auto& configuration : configurations)
                configuration->updateConfigurationErrors(*self->environment_.applicationsDestinationManager);
        }));

    // Entries of AppImages removed while Tavik was not running go now; the
    // destinations are watched for later removals.
    launcherEntryKeeper_ = LauncherEntryKeeper::make(AppImageInstallation::standard(), log::Logger(bundleIdentifier, "Launcher Entries"));
    launcherEntryKeeper_->removeStaleEntries();
    cancellables_.push_back(environment_.applicationsDestinationManager->destinationsPersister().valuePublisher().sink(
        [weakSelf](const std::vector<ApplicationsDestinationPtr>& destinations) {
            auto self = weakSelf.lock();
            if (!self)
                return;
            std::vector<fs::path> folders;
            for (const auto& destination : destinations)
                if (auto url = destination->url())
                    folders.push_back(url->path());
            self->launcherEntryKeeper_->watch(folders);
        }));

    // Questions an earlier run left on the desktop can no longer be answered.
    removeAllNotifications();
    environment_.userInputRequestPerformer->registerCategories();
    startUpdater();

    if (launchedByLauncher_) {
        if (auto posted = launcher::postQuitTavikLauncher(); !posted)
            log_.error("Failed to tell the launcher to quit: {}", posted.error()->description());
    }
}

void AppDelegate::startUpdater()
{
    if (!environment_.presentUpdateAlert)
        return;
    auto self = shared_from_this();
    updater_ = updater::Updater::make({TAVIK_VERSION, "", environment_.userDefaults, environment_.updaterCallbackQueue},
        std::make_shared<updater::StandardUserDriver>(environment_.presentUpdateAlert,
            std::weak_ptr<updater::StandardUserDriverDelegate>(self)),
        std::weak_ptr<updater::UpdaterDelegate>(self));
    if (auto started = updater_->startUpdater(); !started)
        log_.error("Failed to start updater: {}", started.error()->description());
}

void AppDelegate::removeAllNotifications()
{
    const auto& center = environment_.userInputRequestPerformer->userNotificationCenter();
    center->removeAllDeliveredNotifications();
    center->removeAllPendingNotificationRequests();
}

void AppDelegate::applicationWillTerminate(std::chrono::milliseconds timeout)
{
    // A headless process ends right after this; wait for the detaches, so
    // the service hears of them before the process is gone.
    dispatch::DispatchGroup answered;
    answered.enter();
    detachLeftoverMounts([answered] { answered.leave(); });
    if (!answered.waitFor(timeout))
        log_.error("Quitting before every disk image was detached");
    // Questions left on the desktop could no longer be answered.
    removeAllNotifications();
}

bool AppDelegate::updaterShouldPromptForPermissionToCheckForUpdates()
{
    return AppPreferences::hasRunInitialSetup().currentValue();
}

void AppDelegate::updaterDidAbortWithError(const ErrorPtr& error)
{
    log_.error("Updater aborted due to error: {}", error->description());
}

void AppDelegate::updaterDidNotFindUpdate()
{
    log_.debug("Updater did not find update");
}

void AppDelegate::updaterWillScheduleUpdateCheckAfterDelay(std::chrono::seconds delay)
{
    auto when = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() + delay);
    std::tm local {};
    localtime_r(&when, &local);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
    log_.defaultLevel("Update will schedule update check for: {}", text);
}

void AppDelegate::updaterDidFindValidUpdate(const updater::AppcastItem& item)
{
    log_.defaultLevel("Updater found valid update: {}", item.displayVersion);
}

void AppDelegate::updaterWillDownloadUpdate(const updater::AppcastItem& item)
{
    log_.defaultLevel("Update will download update for version {}", item.displayVersion);
}

void AppDelegate::updaterFailedToDownloadUpdate(const updater::AppcastItem& item, const ErrorPtr& error)
{
    log_.error("Update will download update for version {}: {}", item.displayVersion, error->description());
}

void AppDelegate::updaterScheduledUpdateCheckDidAbortWithError(const ErrorPtr& error)
{
    // A scheduled check that found nothing also ends this way.
    if (updater::isUpdaterError(error, updater::UpdaterError::Code::noUpdateFound))
        return;
    log_.error("Scheduled update check aborted due to error: {}", error->description());
}

void AppDelegate::standardUserDriverWillShowModalAlert()
{
    log_.defaultLevel("Update user driver will show modal alert");
}

void AppDelegate::standardUserDriverDidShowModalAlert()
{
    log_.defaultLevel("Update user driver did show modal alert");
}

std::vector<URL> AppDelegate::openURLs(const std::vector<URL>& urls, FileSource target, DropCompletion completion)
{
    FileSourceConfigurationPtr configuration;
    for (const auto& candidate : environment_.fileSourcesManager->fileSourceConfigurations()) {
        if (candidate->fileSource() == target) {
            configuration = candidate;
            break;
        }
    }
    if (!configuration)
        return {};

    std::vector<URL> handedOver;
    for (const auto& url : urls) {
        if (target == FileSource::statusBarIcon && !isSupportedDownload(url))
            continue;
        handedOver.push_back(url);
        auto handler = fileHandler_;
        auto printLine = environment_.printLine;
        dispatch::DispatchQueue::global()->async([handler, printLine, url, configuration, target, completion] {
            handler->handleFile(url, configuration, [printLine, url, target, completion](FileHandler::FileOutcome outcome) {
                printLine(dropDescription(target) + outcome.description());
                if (completion)
                    completion(url, outcome);
            });
        });
    }
    return handedOver;
}

void AppDelegate::removeLeftoverMounts()
{
    std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    detachLeftoverMounts([weakSelf] {
        dispatch::DispatchQueue::global()->async([weakSelf] {
            if (auto self = weakSelf.lock())
                self->hasUnmountedDMGs_.send(true);
        });
    });
}

void AppDelegate::detachLeftoverMounts(std::function<void()> done)
{
    std::vector<URL> mountPoints;
    auto listing = [&]() -> Result<void> {
        auto temporary = TAVIK_TRY(temporaryDirectory());
        auto mounts = temporary.appendingPathComponent("mounts", true);
        std::error_code error;
        fs::directory_iterator entries(mounts.path(), error);
        if (error == std::errc::no_such_file_or_directory)
            return {}; // nothing was ever attached
        for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
            const auto& entry = *entries;
            // An empty mount point has nothing attached: it only goes.
            std::error_code emptyError;
            if (fs::is_directory(entry.symlink_status(emptyError)) && fs::is_empty(entry.path(), emptyError) && !emptyError) {
                fs::remove(entry.path(), emptyError);
                continue;
            }
            mountPoints.push_back(mounts.appendingPathComponent(entry.path().filename().string(), true));
        }
        if (error)
            return FileError::fromErrno(error.value(), mounts.path(), false);
        return {};
    }();
    if (!listing) {
        log_.error("Failed to find mount points: {}", listing.error()->description());
        done();
        return;
    }
    for (const auto& mountPoint : mountPoints)
        log_.info("Attempting to unmount DMG at: {}", mountPoint.path().string());

    // Each detach goes over a connection of its own and is answered by its
    // reply or by that connection's error.
    auto service = DiskImageServiceSession::make(
        [log = log_](service::ServiceErrorHandler answerWithError) {
            return service::DuvrinXPCConnection().remoteObjectProxyWithErrorHandler([log, answerWithError](ErrorPtr error) {
                log.error("XPC error: {}:", error->description());
                answerWithError(std::move(error));
            });
        },
        FileHandler::Error::failedToCastXPCService());
    detachDiskImages(service, mountPoints,
        {.answered =
                [log = log_](const URL& mountPoint, const ErrorPtr& error) {
                    if (error)
                        log.error("Failed to unmount {}: {}", mountPoint.path().string(), error->description());
                    else
                        log.info("Unmounted {}", mountPoint.path().string());
                },
            .done = [done = std::move(done)](bool) { done(); },
            .timeout = std::nullopt});
}

} // namespace tavik
