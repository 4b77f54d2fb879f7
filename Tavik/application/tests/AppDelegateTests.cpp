// The application's start, drops and quit against a private session bus that
// starts the built duvrin-xpc with the hdiutil stand-in, real images made by
// scripts/make-dmg, and real configuration files.

#include "Tavik/application/AppBus.hpp"
#include "Tavik/application/AppDelegate.hpp"
#include "Tavik/configuration/AppPreferences.hpp"
#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "Tavik/file-handling/DiskImageActions.hpp"
#include "Tavik/file-handling/tests/SearchFixtures.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/notifications/FreedesktopNotificationCenter.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/Recorder.hpp"
#include "platform/testing/TestNotificationServer.hpp"
#include "platform/updater/UpdaterError.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"

#include <atomic>
#include <thread>

using namespace tavik;
using namespace std::chrono_literals;
using tavik::testing::eventually;
using tavik::testing::writeFile;
namespace fs = std::filesystem;

namespace {

class AppDelegateTest : public tavik::testing::ConfigurationTest {
protected:
    void SetUp() override
    {
        ConfigurationTest::SetUp();
        writeFile(services / "app.tavik.DuvrinXPC.service", std::string("[D-BUS Service]\nName=app.tavik.DuvrinXPC\nExec=") + TAVIK_DUVRIN_XPC + " --idle-timeout 30\n");
        bus = std::make_unique<tavik::testing::PrivateSessionBus>(tavik::testing::PrivateSessionBus::Options {
            {services.path()}, {{"PATH", std::string(TAVIK_HDIUTIL_FOLDER) + ":/usr/bin:/bin"}, {"TAVIK_LOG", "stderr"}}});
    }

    AppDelegate::Environment makeEnvironment()
    {
        AppDelegate::Environment environment;
        environment.userDefaults = userDefaults;
        environment.fileSourcesManager = FileSourceConfigurationsManager::make(userDefaults);
        environment.applicationsDestinationManager = std::make_shared<ApplicationsDestinationManager>(userDefaults);
        environment.userInputRequestPerformer = std::make_shared<UserInputRequestPerformer>(std::make_shared<notifications::FreedesktopNotificationCenter>());
        environment.printLine = [this](std::string_view line) { printed.add(std::string(line)); };
        return environment;
    }
    std::shared_ptr<AppDelegate> makeDelegate(AppDelegate::Environment environment)
    {
        auto delegate = AppDelegate::make(std::move(environment));
        delegate->applicationWillFinishLaunching();
        return delegate;
    }

    tavik::testing::SearchEnvironment search; // private TMPDIR and the stand-in on PATH
    tavik::testing::ScratchFolder services {"tavik-services"};
    std::unique_ptr<tavik::testing::PrivateSessionBus> bus;
    tavik::testing::Recorder<std::string> printed;
};

size_t countStartingWith(const std::vector<log::Entry>& entries, const std::string& start)
{
    return std::count_if(entries.begin(), entries.end(), [&](const auto& entry) { return entry.message.starts_with(start); });
}

} // namespace

TEST_F(AppDelegateTest, LeftoverMountsAreDetachedOrRemovedBeforeWatchingStarts)
{
    // An image attached by an earlier run that ended without detaching it.
    auto volume = makeFolder("volume");
    tavik::testing::makeBundle(volume / "Example.app");
    tavik::testing::makeDiskImage(volume, root / "Example.dmg");
    fs::create_directories(MountDMGAction::newMountPoint(URL::fileURL(root / "Example.dmg")).value().path());
    tavik::testing::ResultWaiter<URL, DMGMountpoint> mounted;
    MountDMGAction(service::DuvrinXPCConnection().remoteObjectProxyWithErrorHandler([](ErrorPtr) {}), log::Logger("app.tavik.TavikActions", "Mount DMG"))
        .perform(URL::fileURL(root / "Example.dmg"), mounted.completion());
    auto attached = mounted.wait();
    ASSERT_TRUE(attached && attached->isMapped());
    auto attachedAt = attached->output()->mountURL.path();
    ASSERT_TRUE(fs::exists(attachedAt / "Example.app"));
    auto emptyMountPoint = search.mountsFolder() / "empty_1";
    fs::create_directories(emptyMountPoint);

    ASSERT_TRUE(AppPreferences::hasRunInitialSetup().store(true).ok());
    log::LogCapture logs;
    auto delegate = makeDelegate(makeEnvironment());
    delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(eventually([&] { return delegate->hasUnmountedDMGs(); }));
    EXPECT_FALSE(fs::exists(emptyMountPoint)) << "an empty mount point is only removed";
    EXPECT_FALSE(fs::exists(attachedAt)) << "the attached image is detached and its folder removed";
    EXPECT_TRUE(logs.contains(log::Level::info, "Attempting to unmount DMG at: " + attachedAt.string()));
    EXPECT_EQ(logs.count("Attempting to unmount DMG at: " + emptyMountPoint.string()), 0u);
}

TEST_F(AppDelegateTest, DetachesThatCannotReachTheServiceStillLetWatchingStart)
{
    auto stray = search.mountsFolder() / "stray_1";
    writeFile(stray / "left behind", "x");
    bus.reset(); // no session bus at all now
    tavik::testing::ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (root / "no-bus").string());

    log::LogCapture logs;
    auto delegate = makeDelegate(makeEnvironment());
    delegate->applicationDidFinishLaunching();
    ASSERT_TRUE(eventually([&] { return delegate->hasUnmountedDMGs(); }));
    EXPECT_TRUE(fs::exists(stray / "left behind")) << "nothing that was not detached is deleted";
    EXPECT_EQ(countStartingWith(logs.entries(), "Failed to unmount " + stray.string() + ": "), 1u);
}

TEST_F(AppDelegateTest, DroppedFilesGoToTheFirstConfigurationOfTheirIconAndTheirOutcomesArePrinted)
{
    auto delegate = makeDelegate(makeEnvironment());
    auto text = root / "notes.txt", archive = root / "Example.zip";
    writeFile(text, "not a download");
    tavik::testing::writePythonZip(archive, {"file('Example.app/Contents/Info.plist', b'x')"});
    tavik::testing::Recorder<FileHandler::FileOutcome> outcomes;
    auto record = [&](const URL&, const FileHandler::FileOutcome& outcome) { outcomes.add(outcome); };

    // Without a destination the dock icon's configuration reports that error.
    EXPECT_EQ(delegate->openURLs({URL::fileURL(text), URL::fileURL(archive)}, FileSource::appIcon, record).size(), 2u);
    auto failed = outcomes.waitFor(2);
    ASSERT_EQ(failed.size(), 2u);
    for (const auto& outcome : failed) {
        auto error = std::dynamic_pointer_cast<const FileHandler::Error>(outcome.failure());
        ASSERT_TRUE(error) << outcome.description();
        EXPECT_EQ(error->errorCode(), FileHandler::Error::Code::configurationDoesNotIncludeDestination);
    }
    auto lines = printed.all();
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& line : lines)
        EXPECT_TRUE(line.starts_with("Result of file dropped on app icon: ")) << line;

    // The menu-bar icon takes only downloads it can handle.
    auto handed = delegate->openURLs({URL::fileURL(text), URL::fileURL(archive)}, FileSource::statusBarIcon, record);
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed.front().path(), archive);
    EXPECT_EQ(outcomes.waitFor(3).size(), 3u);
    ASSERT_EQ(printed.waitFor(3).size(), 3u);
    EXPECT_TRUE(printed.all().back().starts_with("Result of file dropped on menu bar icon: ")) << printed.all().back();
}

TEST_F(AppDelegateTest, ObsoleteKeysAreRemovedBeforeTheConfigurationsAreRead)
{
    // The process's shared objects, on the standard store of this test run.
    auto standard = defaults::UserDefaults::standard();
    ASSERT_TRUE(standard->set("FileSourceConfigurations", plist::PropertyList(plist::Data {1, 2, 3})).ok());
    ASSERT_TRUE(standard->set("HasSeenBetaIntro", plist::PropertyList(true)).ok());
    AppDelegate::Environment environment;
    environment.userInputRequestPerformer = std::make_shared<UserInputRequestPerformer>(std::make_shared<notifications::FreedesktopNotificationCenter>());
    auto delegate = makeDelegate(environment);
    EXPECT_FALSE(standard->object("HasSeenBetaIntro"));
    // The list is made afresh, with the two icon configurations.
    auto configurations = delegate->environment().fileSourcesManager->fileSourceConfigurations();
    ASSERT_EQ(configurations.size(), 2u);
    EXPECT_EQ(configurations[0]->id(), "AppIcon");
    EXPECT_TRUE(standard->object("FileSourceConfigurations")->array());
}

TEST_F(AppDelegateTest, OneInstanceOwnsTheBusNameAndTakesTheFilesAndReopensOfLaterStarts)
{
    EXPECT_EQ(openInRunningInstance({URL::fileURL("/tmp/a.zip")}, FileSource::appIcon).value(), false);
    EXPECT_EQ(reopenRunningInstance().value(), false) << "nobody runs yet";
    tavik::testing::Recorder<std::pair<std::vector<URL>, FileSource>> received;
    std::atomic<int> reopens = 0;
    auto service = AppBusService::start([&](std::vector<URL> files, FileSource target) { received.add({std::move(files), target}); }, [&] { return ++reopens > 0; });
    ASSERT_TRUE(service) << service.error()->description();
    EXPECT_FALSE(AppBusService::start([](std::vector<URL>, FileSource) {})) << "a second owner is refused";

    EXPECT_EQ(openInRunningInstance({URL::fileURL("/tmp/a.zip"), URL::fileURL("/tmp/b é.dmg")}, FileSource::statusBarIcon).value(), true);
    auto calls = received.waitFor(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first.size(), 2u);
    EXPECT_EQ(calls[0].first[1].path(), "/tmp/b é.dmg");
    EXPECT_EQ(calls[0].second, FileSource::statusBarIcon);
    EXPECT_EQ(reopenRunningInstance().value(), true);
    EXPECT_EQ(reopens.load(), 1);
}

TEST_F(AppDelegateTest, TheUpdaterNeedsAFeedAndAWayToShowAlertsAndReportsThroughTheLog)
{
    auto feed = root / "feed.xml";
    writeFile(feed, "<?xml version=\"1.0\"?>\n<rss version=\"2.0\"><channel><title>Tavik</title><item><title>Tavik 9.0</title><version>900</version><shortVersionString>9.0</shortVersionString><link>https://tavik.app/releases/9.0</link></item></channel></rss>\n");
    auto environment = makeEnvironment();
    tavik::testing::Recorder<updater::UpdateAlert> shown;
    environment.presentUpdateAlert = [&](const updater::UpdateAlert& alert) {
        shown.add(alert);
        return size_t(0);
    };
    environment.updaterCallbackQueue = dispatch::DispatchQueue::makeSerial("app delegate test updater");
    log::LogCapture logs;

    // Without a feed address the updater does not start, and says so; a
    // Tavik that cannot show alerts has none at all.
    auto withoutFeed = makeDelegate(environment);
    withoutFeed->applicationDidFinishLaunching();
    EXPECT_TRUE(logs.contains(log::Level::error, "Failed to start updater: " + updater::UpdaterError(updater::UpdaterError::Code::invalidFeedURL, "no feed address").description()));
    auto headless = makeDelegate(makeEnvironment());
    headless->applicationDidFinishLaunching();
    EXPECT_EQ(headless->updater(), nullptr);

    ASSERT_TRUE(userDefaults->set("updateFeedURL", plist::PropertyList("file://" + feed.string())));
    auto delegate = makeDelegate(environment);
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(countStartingWith(logs.entries("App Delegate"), "Failed to start updater"), 1u) << "this one started";
    ASSERT_TRUE(delegate->updater());
    delegate->updater()->checkForUpdates();
    EXPECT_TRUE(eventually([&] { return logs.contains(log::Level::defaultLevel, "Update user driver did show modal alert"); }));
    EXPECT_TRUE(logs.contains(log::Level::defaultLevel, "Updater found valid update: 9.0"));
    ASSERT_EQ(shown.all().size(), 1u);
    EXPECT_EQ(shown.all()[0].title, "A new version of Tavik is available!");
    EXPECT_EQ(shown.all()[0].link, std::optional<std::string>("https://tavik.app/releases/9.0"));

    delegate->updaterScheduledUpdateCheckDidAbortWithError(updater::UpdaterError::make(updater::UpdaterError::Code::noUpdateFound, "none"));
    EXPECT_EQ(countStartingWith(logs.entries("App Delegate"), "Scheduled update check aborted"), 0u) << "finding nothing is no error";
    auto offline = updater::UpdaterError::make(updater::UpdaterError::Code::feedUnreadable, "offline");
    delegate->updaterScheduledUpdateCheckDidAbortWithError(offline);
    EXPECT_TRUE(logs.contains(log::Level::error, "Scheduled update check aborted due to error: " + offline->description()));
    delegate->updaterFailedToDownloadUpdate({"Tavik 2.0", "200", "2.0", std::nullopt}, GenericError::make("test", 3, "gone"));
    EXPECT_TRUE(logs.contains(log::Level::error, "Update will download update for version 2.0: gone"));
}

TEST_F(AppDelegateTest, QuittingTakesItsQuestionsOffTheDesktop)
{
    tavik::testing::TestNotificationServer server;
    auto delegate = makeDelegate(makeEnvironment());
    auto performer = delegate->environment().userInputRequestPerformer;
    performer->registerCategories();
    std::atomic<int> answers {0};
    performer->requestUserInput("Found ZIP", "Choose how to handle ZIP", UserInputRequestPerformer::Category::foundFile, [&](Result<UserResponse>) { ++answers; });
    auto posted = server.waitForPosted(1);
    ASSERT_EQ(posted.size(), 1u);

    delegate->applicationWillTerminate(10s);
    ASSERT_TRUE(server.waitForClosedByCall(1));
    EXPECT_EQ(server.closedByCall(), std::vector<uint32_t> {posted[0].id});
    std::this_thread::sleep_for(100ms); // a report of the close would show by now
    EXPECT_EQ(answers, 0) << "removed by Tavik itself: not a dismissal";
    static_cast<notifications::FreedesktopNotificationCenter&>(*performer->userNotificationCenter()).disconnect();
}
