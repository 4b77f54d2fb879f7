#pragma once

// Checks a release feed for a version newer than the running one, on request
// and on a schedule. Its settings live in the user defaults:
// "automaticallyChecksForUpdates" (absent until the user has decided),
// "automaticallyDownloadsUpdates", "lastUpdateCheckDate" (seconds since
// 1970) and "updateFeedURL" (overrides the built-in feed address). Every
// delegate and user-driver call is made on the callback queue.

#include "persistence/Persister.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Result.hpp"
#include "platform/publisher/Publisher.hpp"
#include "platform/updater/Appcast.hpp"
#include "platform/updater/UserDriver.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tavik::updater {

class UpdaterDelegate {
public:
    virtual ~UpdaterDelegate() = default;
    // Asked at start while the user has not decided on automatic checks.
    virtual bool updaterShouldPromptForPermissionToCheckForUpdates() { return true; }
    // A check the user asked for failed.
    virtual void updaterDidAbortWithError(const ErrorPtr&) {}
    virtual void updaterDidNotFindUpdate() {}
    virtual void updaterWillScheduleUpdateCheckAfterDelay(std::chrono::seconds) {}
    virtual void updaterDidFindValidUpdate(const AppcastItem&) {}
    // Declared for completeness: this updater offers releases and never downloads them.
    virtual void updaterWillDownloadUpdate(const AppcastItem&) {}
    virtual void updaterFailedToDownloadUpdate(const AppcastItem&, const ErrorPtr&) {}
    // A scheduled check ended without an update; a check that found nothing
    // ends with UpdaterError noUpdateFound (code 1001).
    virtual void updaterScheduledUpdateCheckDidAbortWithError(const ErrorPtr&) {}
};

class Updater : public std::enable_shared_from_this<Updater> {
public:
    using Clock = std::chrono::system_clock;

    struct Configuration {
        std::string hostVersion;
        std::string defaultFeedURL;
        std::shared_ptr<defaults::UserDefaults> userDefaults; // the standard store when empty
        dispatch::QueuePtr callbackQueue; // the main queue when empty
        std::chrono::seconds checkInterval {std::chrono::hours(24)};
    };

    static std::shared_ptr<Updater> make(Configuration configuration, std::shared_ptr<UpdateUserDriver> userDriver,
        std::weak_ptr<UpdaterDelegate> delegate);

    // Fails (invalidFeedURL) when the feed address is unusable; otherwise
    // asks for permission when needed and schedules the next check.
    Result<void> startUpdater();
    // A check the user asked for: the user driver shows what it finds.
    void checkForUpdates();
    bool sessionInProgress() const { return checking_; }

    bool automaticallyChecksForUpdates() const;
    void setAutomaticallyChecksForUpdates(bool enabled);
    publisher::Publisher<bool> automaticallyChecksForUpdatesPublisher() const;
    bool automaticallyDownloadsUpdates() const;
    void setAutomaticallyDownloadsUpdates(bool enabled);
    publisher::Publisher<bool> automaticallyDownloadsUpdatesPublisher() const;
    std::optional<Clock::time_point> lastUpdateCheckDate() const;
    publisher::Publisher<std::optional<Clock::time_point>> lastUpdateCheckDatePublisher() const;

    std::string feedURL() const;
    const std::string& hostVersion() const { return configuration_.hostVersion; }

private:
    Updater(Configuration configuration, std::shared_ptr<UpdateUserDriver> userDriver, std::weak_ptr<UpdaterDelegate> delegate);
    void scheduleNextCheck();
    void runCheck(bool userInitiated);
    void deliver(bool userInitiated, Result<std::optional<AppcastItem>> found);

    Configuration configuration_;
    std::shared_ptr<UpdateUserDriver> userDriver_;
    std::weak_ptr<UpdaterDelegate> delegate_;
    persistence::Persister<std::optional<bool>> automaticallyChecks_;
    persistence::Persister<bool> automaticallyDownloads_;
    persistence::Persister<std::optional<double>> lastCheck_;
    persistence::Persister<std::optional<std::string>> feedURL_;
    std::atomic<bool> started_ {false};
    std::atomic<bool> checking_ {false};
    // Bumped by every (re)scheduling; a timer of an older generation does nothing.
    std::atomic<uint64_t> scheduleGeneration_ {0};
};

} // namespace tavik::updater
