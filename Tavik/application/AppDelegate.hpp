#pragma once

// The application's start, file drops and quit, without windows: wires the
// file handler and the folder watching together, detaches disk images an
// earlier run left attached, starts watching once that is done and the
// initial setup has run, and hands dropped files to the file handler. The
// Qt shell drives the same object and adds the windows and the tray icon.

#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "Tavik/file-handling/FileHandler.hpp"
#include "Tavik/file-handling/FileSource.hpp"
#include "Tavik/folder-watching/FileWatchersManager.hpp"
#include "Tavik/folder-watching/LauncherEntryKeeper.hpp"
#include "Tavik/prompts/UserInputRequestPerformer.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/log/Logger.hpp"
#include "platform/publisher/Publisher.hpp"
#include "platform/updater/Updater.hpp"
#include "platform/updater/UserDriver.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tavik {

class AppDelegate : public updater::UpdaterDelegate,
                    public updater::StandardUserDriverDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
public:
    // What the delegate works with; what is left empty is the process's
    // shared object (the configurations manager is made only after the
    // obsolete keys are gone).
    struct Environment {
        std::shared_ptr<defaults::UserDefaults> userDefaults;
        std::shared_ptr<FileSourceConfigurationsManager> fileSourcesManager;
        std::shared_ptr<ApplicationsDestinationManager> applicationsDestinationManager;
        std::shared_ptr<UserInputRequestPerformer> userInputRequestPerformer;
        // Shows an updater alert modally and answers the chosen button. Only
        // a Tavik that can show alerts has an updater: without one, none is made.
        updater::StandardUserDriver::Presenter presentUpdateAlert;
        // Where the updater's calls arrive; the main queue when empty.
        dispatch::QueuePtr updaterCallbackQueue;
        // Writes one line to standard output.
        std::function<void(std::string_view)> printLine;
    };

    using DropCompletion = std::function<void(const URL& file, const FileHandler::FileOutcome& outcome)>;

    static constexpr const char* bundleIdentifier = "app.tavik.Tavik";

    static std::shared_ptr<AppDelegate> make(Environment environment = {});

    // Removes the obsolete keys and makes the file handler and the watchers manager.
    void applicationWillFinishLaunching();
    // Notes whether the login-item launcher started us; detaches leftovers,
    // then watches once that is done and the setup has run; keeps every
    // configuration's errors current; clears notifications an earlier run
    // left; registers the question categories; makes and starts the updater;
    // releases a launcher that started us.
    void applicationDidFinishLaunching();
    // Detaches what is attached under "mounts" and waits for the answers,
    // at most `timeout`; then removes the application's notifications.
    void applicationWillTerminate(std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // Removes every delivered and every pending notification of the application.
    void removeAllNotifications();

    // Files dropped on the dock icon (appIcon) or on the menu-bar icon
    // (statusBarIcon): each is handed to the file handler with the first
    // configuration of that source, concurrently, and its outcome printed.
    // The menu-bar icon takes only disk images, archives and packages. Returns
    // the files handed over; none when there is no such configuration.
    std::vector<URL> openURLs(const std::vector<URL>& urls, FileSource target, DropCompletion completion = {});

    // A disk image, ZIP archive or installer package, by its type identifier;
    // what the menu-bar icon accepts.
    static bool isSupportedDownload(const URL& url);

    // Lists "mounts" under the temporary folder: empty mount points are
    // removed, the others detached. hasUnmountedDMGs turns true when all answered.
    void removeLeftoverMounts();

    // True when tavik-launcher was on the session bus as launching finished:
    // Tavik was started at login (no window once set up), and the launcher
    // has been told to quit.
    bool launchedByLauncher() const { return launchedByLauncher_; }

    bool hasUnmountedDMGs() const { return hasUnmountedDMGs_.value(); }
    publisher::Publisher<bool> hasUnmountedDMGsPublisher() const { return hasUnmountedDMGs_.publisher(); }

    const FileHandlerPtr& fileHandler() const { return fileHandler_; }
    const std::shared_ptr<FileWatchersManager>& fileWatchersManager() const { return fileWatchersManager_; }
    const Environment& environment() const { return environment_; }
    // Null without an alert presenter.
    const std::shared_ptr<updater::Updater>& updater() const { return updater_; }

    // The updater's delegate calls: they log, and the permission question is
    // answered with whether the setup has run.
    bool updaterShouldPromptForPermissionToCheckForUpdates() override;
    void updaterDidAbortWithError(const ErrorPtr& error) override;
    void updaterDidNotFindUpdate() override;
    void updaterWillScheduleUpdateCheckAfterDelay(std::chrono::seconds delay) override;
    void updaterDidFindValidUpdate(const updater::AppcastItem& item) override;
    void updaterWillDownloadUpdate(const updater::AppcastItem& item) override;
    void updaterFailedToDownloadUpdate(const updater::AppcastItem& item, const ErrorPtr& error) override;
    void updaterScheduledUpdateCheckDidAbortWithError(const ErrorPtr& error) override;
    void standardUserDriverWillShowModalAlert() override;
    void standardUserDriverDidShowModalAlert() override;

private:
    explicit AppDelegate(Environment environment);
    // Detaches the leftovers and calls done when every detach has answered.
    void detachLeftoverMounts(std::function<void()> done);
    // With an alert presenter: makes the updater and starts it.
    void startUpdater();

    Environment environment_;
    log::Logger log_;
    FileHandlerPtr fileHandler_;
    std::shared_ptr<FileWatchersManager> fileWatchersManager_;
    // Removes the launcher entries of AppImages gone from the destinations.
    std::shared_ptr<LauncherEntryKeeper> launcherEntryKeeper_;
    std::shared_ptr<updater::Updater> updater_;
    publisher::CurrentValueSubject<bool> hasUnmountedDMGs_ {false};
    bool launchedByLauncher_ = false;
    std::vector<publisher::AnyCancellable> cancellables_;
};

} // namespace tavik
