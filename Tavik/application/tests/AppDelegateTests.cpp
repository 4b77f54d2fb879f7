// The application's start, drops and quit against a private session bus that
// starts the built duvrin-xpc with the hdiutil stand-in, real images made by
// scripts/make-dmg, and real configuration files.

#include "Tavik/application/AppBus.hpp"
#include "Tavik/application/AppDelegate.hpp"
#include "Tavik/configuration/AppPreferences.hpp"
#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "Tavik/file-handling/DiskImageActions.hpp"
#include "Tavik/file-handling/tests/SearchFixtures.hpp"
#include "launcher/LauncherBus.hpp"
#include "platform/foundation/Bookmark.hpp"
#include "platform/foundation/TemporaryDirectory.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/notifications/FreedesktopNotificationCenter.hpp"
#include "platform/testing/TestNotificationServer.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/updater/UpdaterError.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <thread>

using namespace tavik;
using namespace std::chrono_literals;
using tavik::testing::eventually;
namespace fs = std::filesystem;

namespace {

class AppDelegateTest : public tavik::testing::ConfigurationTest {
protected:
    void SetUp() override
    {
        ConfigurationTest::SetUp();
        std::ofstream(services.path() / "app.tavik.DuvrinXPC.service")
            << "[D-BUS Service]\nName=app.tavik.DuvrinXPC\nExec=" << TAVIK_DUVRIN_XPC << " --idle-timeout 30\n";
        bus = std::make_unique<tavik::testing::PrivateSessionBus>(tavik::testing::PrivateSessionBus::Options {
            {services.path()},
            {{"PATH", std::string(TAVIK_HDIUTIL_FOLDER) + ":/usr/bin:/bin"}, {"TAVIK_LOG", "stderr"}}});
    }

    AppDelegate::Environment makeEnvironment()
    {
        AppDelegate::Environment environment;
        environment.userDefaults = userDefaults;
        environment.fileSourcesManager = FileSourceConfigurationsManager::make(userDefaults);
        environment.applicationsDestinationManager = std::make_shared<ApplicationsDestinationManager>(userDefaults);
        environment.userInputRequestPerformer
            = std::make_shared<UserInputRequestPerformer>(std::make_shared<notifications::FreedesktopNotificationCenter>());
        environment.printLine = [this](std::string_view line) {
            std::lock_guard lock(mutex);
            printed.emplace_back(line);
        };
        return environment;
    }

    std::shared_ptr<AppDelegate> makeDelegate()
    {
        auto delegate = AppDelegate::make(makeEnvironment());
        delegate->applicationWillFinishLaunching();
        return delegate;
    }

    tavik::testing::SearchEnvironment search; // private TMPDIR and the stand-in on PATH
    tavik::testing::ScratchFolder services;
    std::unique_ptr<tavik::testing::PrivateSessionBus> bus;
    std::mutex mutex;
    std::vector<std::string> printed;
};

} // namespace

TEST_F(AppDelegateTest, LeftoverMountsAreDetachedOrRemovedBeforeWatchingStarts)
{
    // An image attached by an earlier run that ended without detaching it.
    auto volume = makeFolder("volume");
    tavik::testing::makeBundle(volume / "Example.app");
    tavik::testing::makeDiskImage(volume, root / "Example.dmg");
    auto mountPoint = MountDMGAction::newMountPoint(URL::fileURL(root / "Example.dmg")).value();
    fs::create_directories(mountPoint.path());
    tavik::testing::ResultWaiter<URL, DMGMountpoint> mounted;
    MountDMGAction(service::DuvrinXPCConnection().remoteObjectProxyWithErrorHandler([](ErrorPtr) {}),
        log::Logger("app.tavik.TavikActions", "Mount DMG"))
        .perform(URL::fileURL(root / "Example.dmg"), mounted.completion());
    auto attached = mounted.wait();
    ASSERT_TRUE(attached && attached->isMapped());
    auto attachedAt = attached->output()->mountURL.path();
    ASSERT_TRUE(fs::exists(attachedAt / "Example.app"));
    auto emptyMountPoint = search.mountsFolder() / "empty_1";
    fs::create_directories(emptyMountPoint);

    ASSERT_TRUE(AppPreferences::hasRunInitialSetup().store(true).ok());
    log::LogCapture logs;
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(eventually([&] { return delegate->hasUnmountedDMGs(); }));
    EXPECT_FALSE(fs::exists(emptyMountPoint)) << "an empty mount point is only removed";
    EXPECT_FALSE(fs::exists(attachedAt)) << "the attached image is detached and its folder removed";
    EXPECT_TRUE(logs.contains(log::Level::info, "Attempting to unmount DMG at: " + attachedAt.string()));
    EXPECT_EQ(logs.count("Attempting to unmount DMG at: " + emptyMountPoint.string()), 0u);
}

TEST_F(AppDelegateTest, AWatchedFolderRenamedBeforeTheStartIsWatchedAndItsBookmarkRenewed)
{
    // What `tavik setup --destination ~/Applications --watch ~/Downloads`
    // leaves in the defaults file; then the folder is renamed.
    auto downloads = makeFolder("Downloads");
    {
        auto configurations = FileSourceConfigurationsManager::make(userDefaults);
        ApplicationsDestinationManager destinations(userDefaults);
        auto destination = destinations.destination(URL::fileURL(makeFolder("Applications"), true));
        ASSERT_TRUE(destination.ok());
        ASSERT_TRUE(configurations->addFolder(URL::fileURL(downloads, true), (*destination)->uuid()).ok());
    }
    auto renamed = root / "Downloads-renamed";
    fs::rename(downloads, renamed);
    ASSERT_TRUE(AppPreferences::hasRunInitialSetup().store(true).ok());

    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(eventually([&] { return delegate->fileWatchersManager()->watchedConfigurationIDs().size() == 1; }, 30s));
    auto folder = delegate->environment().fileSourcesManager->fileSourceConfigurations().back();
    auto bookmark = folder->watchDirectoryBookmarkData().currentValue();
    ASSERT_TRUE(bookmark);
    auto resolved = resolveBookmarkData(*bookmark, BookmarkResolutionOptions::withSecurityScope);
    ASSERT_TRUE(resolved.ok());
    EXPECT_EQ(resolved->url.path(), renamed);
    EXPECT_FALSE(resolved->isStale) << "the renewed bookmark is stored";
    delegate->applicationWillTerminate(5s);
}

TEST_F(AppDelegateTest, DetachesThatCannotReachTheServiceStillLetWatchingStart)
{
    auto stray = search.mountsFolder() / "stray_1";
    fs::create_directories(stray);
    std::ofstream(stray / "left behind") << "x";
    bus.reset(); // no session bus at all now
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (root / "no-bus").string()).c_str(), 1);

    log::LogCapture logs;
    auto delegate = makeDelegate();
    delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(eventually([&] { return delegate->hasUnmountedDMGs(); }));
    EXPECT_TRUE(fs::exists(stray / "left behind")) << "nothing that was not detached is deleted";
    bool failed = false;
    for (const auto& entry : logs.entries())
        failed = failed || entry.message.starts_with("Failed to unmount " + stray.string() + ": ");
    EXPECT_TRUE(failed);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

TEST_F(AppDelegateTest, DroppedFilesGoToTheFirstConfigurationOfTheirIconAndTheirOutcomesArePrinted)
{
    auto delegate = makeDelegate();
    auto text = root / "notes.txt";
    std::ofstream(text) << "not a download";
    auto archive = root / "Example.zip";
    tavik::testing::writePythonZip(archive, {"file('Example.app/Contents/Info.plist', b'x')"});

    // Without a destination the dock icon's configuration reports that error.
    std::mutex waitMutex;
    std::condition_variable changed;
    std::vector<std::pair<URL, FileHandler::FileOutcome>> outcomes;
    auto record = [&](const URL& url, const FileHandler::FileOutcome& outcome) {
        std::lock_guard lock(waitMutex);
        outcomes.emplace_back(url, outcome);
        changed.notify_all();
    };
    auto handed = delegate->openURLs({URL::fileURL(text), URL::fileURL(archive)}, FileSource::appIcon, record);
    EXPECT_EQ(handed.size(), 2u);
    {
        std::unique_lock lock(waitMutex);
        ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return outcomes.size() == 2; }));
    }
    for (const auto& [url, outcome] : outcomes) {
        auto error = std::dynamic_pointer_cast<const FileHandler::Error>(outcome.failure());
        ASSERT_TRUE(error) << outcome.description();
        EXPECT_EQ(error->errorCode(), FileHandler::Error::Code::configurationDoesNotIncludeDestination);
    }
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(printed.size(), 2u);
        for (const auto& line : printed)
            EXPECT_TRUE(line.starts_with("Result of file dropped on app icon: ")) << line;
    }

    // The menu-bar icon takes only downloads it can handle.
    handed = delegate->openURLs({URL::fileURL(text), URL::fileURL(archive)}, FileSource::statusBarIcon, record);
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed.front().path(), archive);
    std::unique_lock lock(waitMutex);
    ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return outcomes.size() == 3; }));
    std::lock_guard printedLock(mutex);
    EXPECT_TRUE(printed.back().starts_with("Result of file dropped on menu bar icon: ")) << printed.back();
}

TEST_F(AppDelegateTest, ObsoleteKeysAreRemovedBeforeTheConfigurationsAreRead)
{
    // The process's shared objects, on the standard store of this test run.
    auto standard = defaults::UserDefaults::standard();
    ASSERT_TRUE(standard->set("FileSourceConfigurations", plist::PropertyList(plist::Data {1, 2, 3})).ok());
    ASSERT_TRUE(standard->set("HasSeenBetaIntro", plist::PropertyList(true)).ok());
    AppDelegate::Environment environment;
    environment.userInputRequestPerformer
        = std::make_shared<UserInputRequestPerformer>(std::make_shared<notifications::FreedesktopNotificationCenter>());
    auto delegate = AppDelegate::make(environment);
    delegate->applicationWillFinishLaunching();
    EXPECT_FALSE(standard->object("HasSeenBetaIntro"));
    // The list is made afresh, with the two icon configurations.
    auto configurations = delegate->environment().fileSourcesManager->fileSourceConfigurations();
    ASSERT_EQ(configurations.size(), 2u);
    EXPECT_EQ(configurations[0]->id(), "AppIcon");
    auto stored = standard->object("FileSourceConfigurations");
    ASSERT_TRUE(stored && stored->array());
}

TEST_F(AppDelegateTest, OneInstanceOwnsTheBusNameAndTakesTheFilesOfLaterStarts)
{
    EXPECT_EQ(openInRunningInstance({URL::fileURL("/tmp/a.zip")}, FileSource::appIcon).value(), false);

    std::mutex received;
    std::condition_variable arrived;
    std::vector<std::pair<std::vector<URL>, FileSource>> calls;
    auto service = AppBusService::start([&](std::vector<URL> files, FileSource target) {
        std::lock_guard lock(received);
        calls.emplace_back(std::move(files), target);
        arrived.notify_all();
    });
    ASSERT_TRUE(service) << service.error()->description();
    EXPECT_FALSE(AppBusService::start([](std::vector<URL>, FileSource) {})) << "a second owner is refused";

    EXPECT_EQ(openInRunningInstance({URL::fileURL("/tmp/a.zip"), URL::fileURL("/tmp/b é.dmg")}, FileSource::statusBarIcon).value(), true);
    std::unique_lock lock(received);
    ASSERT_TRUE(arrived.wait_for(lock, 10s, [&] { return !calls.empty(); }));
    EXPECT_EQ(calls[0].first.size(), 2u);
    EXPECT_EQ(calls[0].first[1].path(), "/tmp/b é.dmg");
    EXPECT_EQ(calls[0].second, FileSource::statusBarIcon);
}

TEST_F(AppDelegateTest, ALaterStartAsksTheRunningOneToReopen)
{
    EXPECT_EQ(reopenRunningInstance().value(), false) << "nobody runs yet";

    std::atomic<int> reopens = 0;
    auto service = AppBusService::start([](std::vector<URL>, FileSource) {}, [&] {
        ++reopens;
        return true; });
    ASSERT_TRUE(service) << service.error()->description();
    EXPECT_EQ(reopenRunningInstance().value(), true);
    EXPECT_EQ(reopens.load(), 1);
}

// Counts what the delegate removes.
class CountingNotificationCenter final : public notifications::NotificationCenter {
public:
    void setDelegate(std::weak_ptr<notifications::NotificationCenterDelegate>) override {}
    void setNotificationCategories(std::vector<notifications::NotificationCategory>) override {}
    void getNotificationSettings(std::function<void(notifications::NotificationSettings)>) override {}
    void requestAuthorization(unsigned, std::function<void(bool, ErrorPtr)>) override {}
    void addNotificationRequest(notifications::NotificationRequest, std::function<void(ErrorPtr)>) override {}
    void removeAllDeliveredNotifications() override { ++delivered; }
    void removeAllPendingNotificationRequests() override { ++pending; }
    std::atomic<int> delivered = 0;
    std::atomic<int> pending = 0;
};

TEST_F(AppDelegateTest, LaunchAndQuitRemoveNotificationsAndTheUpdaterReportsThroughTheLog)
{
    auto feed = root / "feed.xml";
    std::ofstream(feed) << "<?xml version=\"1.0\"?>\n<rss version=\"2.0\"><channel><title>Tavik</title>"
                           "<item><title>Tavik 9.0</title><version>900</version><shortVersionString>9.0</shortVersionString>"
                           "<link>https://tavik.app/releases/9.0</link></item></channel></rss>\n";
    ASSERT_TRUE(userDefaults->set("updateFeedURL", plist::PropertyList("file://" + feed.string())));

    auto center = std::make_shared<CountingNotificationCenter>();
    AppDelegate::Environment environment;
    environment.userDefaults = userDefaults;
    environment.fileSourcesManager = FileSourceConfigurationsManager::make(userDefaults);
    environment.applicationsDestinationManager = std::make_shared<ApplicationsDestinationManager>(userDefaults);
    environment.userInputRequestPerformer = std::make_shared<UserInputRequestPerformer>(center);
    std::mutex shownMutex;
    std::vector<updater::UpdateAlert> shown;
    environment.presentUpdateAlert = [&](const updater::UpdateAlert& alert) {
        std::lock_guard lock(shownMutex);
        shown.push_back(alert);
        return size_t(0);
    };
    environment.updaterCallbackQueue = dispatch::DispatchQueue::makeSerial("app delegate test updater");
    auto delegate = AppDelegate::make(environment);
    delegate->applicationWillFinishLaunching();

    log::LogCapture logs;
    auto logged = [&](std::string_view start) {
        auto entries = logs.entries("App Delegate");
        return std::any_of(entries.begin(), entries.end(), [&](const auto& entry) { return entry.message.starts_with(start); });
    };
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(center->delivered.load(), 1);
    EXPECT_EQ(center->pending.load(), 1);
    EXPECT_FALSE(logged("Failed to start updater"));
    ASSERT_TRUE(delegate->updater());

    delegate->updater()->checkForUpdates();
    EXPECT_TRUE(eventually([&] { return logs.contains(log::Level::defaultLevel, "Update user driver did show modal alert"); }, 30s));
    EXPECT_TRUE(logs.contains(log::Level::defaultLevel, "Updater found valid update: 9.0"));
    {
        std::lock_guard lock(shownMutex);
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].title, "A new version of Tavik is available!");
        EXPECT_EQ(shown[0].link, std::optional<std::string>("https://tavik.app/releases/9.0"));
    }

    delegate->updaterScheduledUpdateCheckDidAbortWithError(
        updater::UpdaterError::make(updater::UpdaterError::Code::noUpdateFound, "none"));
    EXPECT_FALSE(logged("Scheduled update check aborted")) << "finding nothing is no error";
    auto offline = updater::UpdaterError::make(updater::UpdaterError::Code::feedUnreadable, "offline");
    delegate->updaterScheduledUpdateCheckDidAbortWithError(offline);
    EXPECT_TRUE(logs.contains(log::Level::error, "Scheduled update check aborted due to error: " + offline->description()));
    delegate->updaterFailedToDownloadUpdate({"Tavik 2.0", "200", "2.0", std::nullopt}, GenericError::make("test", 3, "gone"));
    EXPECT_TRUE(logs.contains(log::Level::error, "Update will download update for version 2.0: gone"));

    delegate->applicationWillTerminate(5s);
    EXPECT_EQ(center->delivered.load(), 2);
    EXPECT_EQ(center->pending.load(), 2);
}

// Without a feed address the updater does not start and says so; a Tavik
// that cannot show alerts has none.
TEST_F(AppDelegateTest, TheUpdaterNeedsAFeedAndAWayToShowAlerts)
{
    auto environment = makeEnvironment();
    environment.presentUpdateAlert = [](const updater::UpdateAlert&) { return size_t(0); };
    environment.updaterCallbackQueue = dispatch::DispatchQueue::makeSerial("app delegate test updater");
    auto withAlerts = AppDelegate::make(environment);
    withAlerts->applicationWillFinishLaunching();
    log::LogCapture logs;
    withAlerts->applicationDidFinishLaunching();
    EXPECT_TRUE(logs.contains(log::Level::error, "Failed to start updater: " + updater::UpdaterError(updater::UpdaterError::Code::invalidFeedURL, "no feed address").description()));

    auto headless = makeDelegate();
    headless->applicationDidFinishLaunching();
    EXPECT_EQ(headless->updater(), nullptr);
}

TEST_F(AppDelegateTest, ALauncherOnTheBusMeansStartedAtLoginAndIsToldToQuit)
{
    std::mutex signalled;
    std::condition_variable arrived;
    int quitSignals = 0;
    auto launcherConnection = sdbus::createSessionBusConnection();
    auto match = launcherConnection->addMatch(launcher::LauncherBus::quitSignalMatchRule(), [&](sdbus::Message&) {
        std::lock_guard lock(signalled);
        ++quitSignals;
        arrived.notify_all();
    });

    // No launcher: nothing is sent.
    auto plainStart = makeDelegate();
    plainStart->applicationDidFinishLaunching();
    EXPECT_FALSE(plainStart->launchedByLauncher());

    launcherConnection->requestName(launcher::LauncherBus::launcherName);
    launcherConnection->enterEventLoopAsync();
    auto startedAtLogin = makeDelegate();
    startedAtLogin->applicationDidFinishLaunching();
    EXPECT_TRUE(startedAtLogin->launchedByLauncher());
    {
        std::unique_lock lock(signalled);
        EXPECT_TRUE(arrived.wait_for(lock, 10s, [&] { return quitSignals > 0; }));
    }
    std::this_thread::sleep_for(200ms);
    launcherConnection->leaveEventLoop();
    EXPECT_EQ(quitSignals, 1) << "only the start that found the launcher released it";
}

TEST_F(AppDelegateTest, QuittingTakesItsQuestionsOffTheDesktop)
{
    tavik::testing::TestNotificationServer server;
    auto delegate = makeDelegate();
    auto performer = delegate->environment().userInputRequestPerformer;
    performer->registerCategories();
    std::atomic<int> answers {0};
    performer->requestUserInput("Found ZIP", "Choose how to handle ZIP", UserInputRequestPerformer::Category::foundFile,
        [&](Result<UserResponse>) { ++answers; });
    auto posted = server.waitForPosted(1);
    ASSERT_EQ(posted.size(), 1u);

    delegate->applicationWillTerminate(10s);
    ASSERT_TRUE(server.waitForClosedByCall(1));
    EXPECT_EQ(server.closedByCall(), std::vector<uint32_t> {posted[0].id});
    std::this_thread::sleep_for(100ms); // a report of the close would show by now
    EXPECT_EQ(answers, 0) << "removed by Tavik itself: not a dismissal";
    static_cast<notifications::FreedesktopNotificationCenter&>(*performer->userNotificationCenter()).disconnect();
}
