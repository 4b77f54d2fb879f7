#include "platform/updater/Updater.hpp"

#include "platform/updater/FeedLoader.hpp"
#include "platform/updater/UpdaterError.hpp"

namespace tavik::updater {

namespace {

std::optional<Updater::Clock::time_point> timePoint(std::optional<double> secondsSince1970)
{
    if (!secondsSince1970)
        return std::nullopt;
    return Updater::Clock::time_point(std::chrono::duration_cast<Updater::Clock::duration>(std::chrono::duration<double>(*secondsSince1970)));
}

double secondsSince1970(Updater::Clock::time_point time)
{
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

} // namespace

std::shared_ptr<Updater> Updater::make(Configuration configuration, std::shared_ptr<UpdateUserDriver> userDriver,
    std::weak_ptr<UpdaterDelegate> delegate)
{
    if (!configuration.userDefaults)
        configuration.userDefaults = defaults::UserDefaults::standard();
    if (!configuration.callbackQueue)
        configuration.callbackQueue = dispatch::DispatchQueue::main();
    return std::shared_ptr<Updater>(new Updater(std::move(configuration), std::move(userDriver), std::move(delegate)));
}

Updater::Updater(Configuration configuration, std::shared_ptr<UpdateUserDriver> userDriver, std::weak_ptr<UpdaterDelegate> delegate)
    : configuration_(std::move(configuration))
    , userDriver_(std::move(userDriver))
    , delegate_(std::move(delegate))
    , automaticallyChecks_("automaticallyChecksForUpdates", configuration_.userDefaults, std::optional<bool>())
    , automaticallyDownloads_("automaticallyDownloadsUpdates", configuration_.userDefaults, false)
    , lastCheck_("lastUpdateCheckDate", configuration_.userDefaults, std::optional<double>())
    , feedURL_("updateFeedURL", configuration_.userDefaults, std::optional<std::string>())
{
}

std::string Updater::feedURL() const
{
    auto stored = feedURL_.currentValue();
    return stored && !stored->empty() ? *stored : configuration_.defaultFeedURL;
}

Result<void> Updater::startUpdater()
{
    auto url = feedURL();
    if (!FeedLoader::isSupportedURL(url))
        return UpdaterError::make(UpdaterError::Code::invalidFeedURL, url.empty() ? "no feed address" : url);
    if (started_.exchange(true))
        return {};

    std::weak_ptr<Updater> weakSelf = weak_from_this();
    configuration_.callbackQueue->async([weakSelf] {
        auto self = weakSelf.lock();
        if (!self)
            return;
        if (self->automaticallyChecks_.currentValue().has_value()) {
            self->scheduleNextCheck();
            return;
        }
        auto delegate = self->delegate_.lock();
        if (!delegate || !delegate->updaterShouldPromptForPermissionToCheckForUpdates())
            return; // asked again at the next start
        self->userDriver_->showUpdatePermissionRequest([weakSelf](bool automaticallyCheck) {
            if (auto updater = weakSelf.lock())
                updater->setAutomaticallyChecksForUpdates(automaticallyCheck);
        });
    });
    return {};
}

bool Updater::automaticallyChecksForUpdates() const
{
    return automaticallyChecks_.currentValue().value_or(false);
}

void Updater::setAutomaticallyChecksForUpdates(bool enabled)
{
    (void)automaticallyChecks_.store(enabled);
    scheduleNextCheck();
}

publisher::Publisher<bool> Updater::automaticallyChecksForUpdatesPublisher() const
{
    return automaticallyChecks_.valuePublisher().map([](const std::optional<bool>& value) { return value.value_or(false); });
}

bool Updater::automaticallyDownloadsUpdates() const
{
    return automaticallyDownloads_.currentValue();
}

void Updater::setAutomaticallyDownloadsUpdates(bool enabled)
{
    (void)automaticallyDownloads_.store(enabled);
}

publisher::Publisher<bool> Updater::automaticallyDownloadsUpdatesPublisher() const
{
    return automaticallyDownloads_.valuePublisher();
}

std::optional<Updater::Clock::time_point> Updater::lastUpdateCheckDate() const
{
    return timePoint(lastCheck_.currentValue());
}

publisher::Publisher<std::optional<Updater::Clock::time_point>> Updater::lastUpdateCheckDatePublisher() const
{
    return lastCheck_.valuePublisher().map([](const std::optional<double>& value) { return timePoint(value); });
}

void Updater::scheduleNextCheck()
{
    auto generation = ++scheduleGeneration_;
    if (!started_ || !automaticallyChecksForUpdates())
        return;
    auto delay = std::chrono::seconds(0);
    if (auto last = lastUpdateCheckDate()) {
        auto due = *last + configuration_.checkInterval;
        auto now = Clock::now();
        // A last check in the future (a clock set back) counts as due now.
        if (due > now && *last <= now)
            delay = std::chrono::ceil<std::chrono::seconds>(due - now);
    }
    std::weak_ptr<Updater> weakSelf = weak_from_this();
    configuration_.callbackQueue->async([weakSelf, delay] {
        if (auto self = weakSelf.lock(); self)
            if (auto delegate = self->delegate_.lock())
                delegate->updaterWillScheduleUpdateCheckAfterDelay(delay);
    });
    configuration_.callbackQueue->asyncAfter(delay, [weakSelf, generation] {
        auto self = weakSelf.lock();
        if (self && self->scheduleGeneration_ == generation)
            self->runCheck(false);
    });
}

void Updater::checkForUpdates()
{
    runCheck(true);
}

void Updater::runCheck(bool userInitiated)
{
    // One check at a time: the one under way schedules the next when it ends.
    if (checking_.exchange(true))
        return;
    std::weak_ptr<Updater> weakSelf = weak_from_this();
    auto url = feedURL();
    auto hostVersion = configuration_.hostVersion;
    dispatch::DispatchQueue::global()->async([weakSelf, url, hostVersion, userInitiated] {
        Result<std::optional<AppcastItem>> found = [&]() -> Result<std::optional<AppcastItem>> {
            auto feed = TAVIK_TRY(FeedLoader::load(url));
            auto appcast = TAVIK_TRY(Appcast::parse(feed));
            return appcast.newestItemNewerThan(hostVersion);
        }();
        auto self = weakSelf.lock();
        if (!self)
            return;
        self->configuration_.callbackQueue->async([weakSelf, userInitiated, found = std::move(found)]() mutable {
            if (auto updater = weakSelf.lock())
                updater->deliver(userInitiated, std::move(found));
        });
    });
}

void Updater::deliver(bool userInitiated, Result<std::optional<AppcastItem>> found)
{
    checking_ = false;
    (void)lastCheck_.store(secondsSince1970(Clock::now()));
    auto delegate = delegate_.lock();
    if (!found) {
        if (delegate) {
            if (userInitiated)
                delegate->updaterDidAbortWithError(found.error());
            else
                delegate->updaterScheduledUpdateCheckDidAbortWithError(found.error());
        }
        if (userInitiated)
            userDriver_->showUpdaterError(found.error());
    } else if (!*found) {
        if (delegate) {
            delegate->updaterDidNotFindUpdate();
            if (!userInitiated)
                delegate->updaterScheduledUpdateCheckDidAbortWithError(UpdaterError::make(UpdaterError::Code::noUpdateFound, ""));
        }
        if (userInitiated)
            userDriver_->showUpdateNotFound(configuration_.hostVersion);
    } else {
        if (delegate)
            delegate->updaterDidFindValidUpdate(**found);
        userDriver_->showUpdateFound(**found, configuration_.hostVersion);
    }
    // The next scheduled check counts from this one, whoever asked for it.
    scheduleNextCheck();
}

} // namespace tavik::updater
