// The updater against release feeds written to real files and read through
// file: URLs; no network.

#include "platform/updater/Appcast.hpp"
#include "platform/updater/FeedLoader.hpp"
#include "platform/updater/Updater.hpp"
#include "platform/updater/UpdaterError.hpp"
#include "platform/updater/UserDriver.hpp"
#include "platform/updater/Version.hpp"
#include "platform/testing/Recorder.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>


using namespace tavik;
using namespace tavik::updater;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

namespace {

std::string feed(const std::string& items)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" xmlns:tavik=\"https://tavik.app/xml/appcast\"><channel><title>Tavik</title>\n"
        + items + "</channel></rss>\n";
}

std::string fileURL(const std::filesystem::path& path) { return "file://" + path.string(); }

std::string item(const std::string& version, const std::string& shortVersion, const std::string& link = "https://tavik.app/releases")
{
    return "<item><title>Tavik " + shortVersion + "</title><link>" + link + "</link><tavik:version>" + version
        + "</tavik:version><tavik:shortVersionString>" + shortVersion + "</tavik:shortVersionString></item>\n";
}

TEST(VersionTest, ComparesAsPeopleReadVersions)
{
    constexpr auto less = std::strong_ordering::less, equal = std::strong_ordering::equal, greater = std::strong_ordering::greater;
    const std::tuple<const char*, const char*, std::strong_ordering> cases[] = {{"1.2", "1.2", equal}, {"1.2", "1.2.0", equal}, {"007", "7", equal}, {"", "0", equal},
        {"1.10", "1.9", greater}, {"2", "10", less}, {"1.2.1", "1.2", greater}, {"1.2b1", "1.2", less}, {"1.2b2", "1.2b10", less}, {"1.2a1", "1.2b1", less},
        {"99999999999999999999999", "99999999999999999999998", greater}};
    for (const auto& [first, second, expected] : cases) {
        EXPECT_EQ(compareVersions(first, second), expected) << first << " vs " << second;
        EXPECT_EQ(compareVersions(second, first), 0 <=> expected) << second << " vs " << first;
    }
}

TEST(AppcastTest, ReadsReleasesFromElementsOrTheEnclosureKeepsOnlyHttpsLinksAndRefusesWhatIsNotAReleaseFeed)
{
    auto parsed = Appcast::parse(feed(item("120", "1.2")
        + "<item><title>Old</title><enclosure url=\"https://tavik.app/Tavik-1.1.zip\" tavik:version=\"110\" "
          "tavik:shortVersionString=\"1.1\"/></item>"
        + "<item><title>Bare</title><enclosure tavik:version=\"100\"/></item>"
        + item("130", "1.3", "javascript:alert(1)") + item("140", "1.4", "file:///etc/passwd")));
    ASSERT_TRUE(parsed) << parsed.error()->description();
    ASSERT_EQ(parsed->items.size(), 5u);
    EXPECT_EQ(parsed->items[0], (AppcastItem {"Tavik 1.2", "120", "1.2", "https://tavik.app/releases"}));
    EXPECT_EQ(parsed->items[1], (AppcastItem {"Old", "110", "1.1", "https://tavik.app/Tavik-1.1.zip"}));
    EXPECT_EQ(parsed->items[2].displayVersion, "100") << "the version stands in for a missing short version";
    EXPECT_EQ(parsed->items[3].link, std::nullopt);
    EXPECT_EQ(parsed->items[4].link, std::nullopt);

    const std::string malformedFeeds[] = {
        "",
        "not xml at all",
        "<rss><channel><item><title>cut off",
        "<feed><entry/></feed>",
        "<rss version=\"2.0\"></rss>",
        feed("<item><title>No version</title><link>https://tavik.app</link></item>"),
        // Entity expansion is a way to make a small feed take unbounded memory.
        "<?xml version=\"1.0\"?><!DOCTYPE rss [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
        "<rss><channel><item><title>&b;</title><tavik:version>2</tavik:version></item></channel></rss>",
    };
    for (const auto& text : malformedFeeds)
        EXPECT_TRUE(isUpdaterError(Appcast::parse(text).error(), UpdaterError::Code::feedMalformed)) << text;
}

// Reading a feed that works is part of every check below.
TEST(FeedLoaderTest, RefusesOtherSchemesThanFileAndHttpsAndFeedsLargerThanTheLimit)
{
    for (const auto& url : {"http://tavik.app/feed.xml", "ftp://tavik.app/feed.xml", "/plain/path.xml", ""})
        EXPECT_TRUE(isUpdaterError(FeedLoader::load(url).error(), UpdaterError::Code::invalidFeedURL)) << url;
    tavik::testing::ScratchFolder folder("tavik-updater");
    auto huge = FeedLoader::load(fileURL(folder.write("huge.xml", std::string(4096, 'x')).path()), 1024);
    EXPECT_TRUE(isUpdaterError(huge.error(), UpdaterError::Code::feedUnreadable));
    EXPECT_NE(huge.error()->description().find("larger than 1024 bytes"), std::string::npos) << huge.error()->description();
    EXPECT_TRUE(isUpdaterError(FeedLoader::load(fileURL(folder / "missing.xml")).error(), UpdaterError::Code::feedUnreadable));
}

// Records every delegate and user-driver call, in order.
class Recorder final : public UpdaterDelegate, public UpdateUserDriver, public tavik::testing::Recorder<std::string> {
public:
    bool promptForPermission = true;

    bool updaterShouldPromptForPermissionToCheckForUpdates() override { return add("shouldPrompt"), promptForPermission; }
    void updaterDidAbortWithError(const ErrorPtr& error) override { add("didAbort " + std::to_string(error->code())); }
    void updaterDidNotFindUpdate() override { add("didNotFindUpdate"); }
    void updaterWillScheduleUpdateCheckAfterDelay(std::chrono::seconds delay) override { add("willSchedule " + std::to_string(delay.count())); }
    void updaterDidFindValidUpdate(const AppcastItem& item) override { add("didFindValidUpdate " + item.displayVersion); }
    void updaterScheduledUpdateCheckDidAbortWithError(const ErrorPtr& error) override { add("scheduledCheckDidAbort " + std::to_string(error->code())); }
    void showUpdatePermissionRequest(std::function<void(bool)> reply) override { add("showPermissionRequest"), reply(true); }
    void showUpdateFound(const AppcastItem& item, std::string_view hostVersion) override { add("showUpdateFound " + item.displayVersion + " over " + std::string(hostVersion) + " " + item.link.value_or("-")); }
    void showUpdateNotFound(std::string_view) override { add("showUpdateNotFound"); }
    void showUpdaterError(const ErrorPtr& error) override { add("showUpdaterError " + std::to_string(error->code())); }
};

// Updaters of version 1.2 over one settings file; each made updater reports
// to a fresh recorder.
class UpdaterTest : public ::testing::Test {
protected:
    std::shared_ptr<Updater> makeUpdater(const std::string& feedURL, std::chrono::seconds interval = 24h)
    {
        recorder = std::make_shared<Recorder>();
        return Updater::make({"1.2", feedURL, userDefaults, dispatch::DispatchQueue::makeSerial("updater test"), interval}, recorder, recorder);
    }
    std::string writeFeed(const std::string& name, const std::string& items) { return fileURL(folder.write(name, feed(items)).path()); }

    tavik::testing::ScratchFolder folder {"tavik-updater"};
    std::shared_ptr<defaults::UserDefaults> userDefaults = defaults::UserDefaults::atPath(folder / "updater.plist");
    std::shared_ptr<Recorder> recorder;
};

TEST_F(UpdaterTest, ACheckOffersANewerReleaseFromTheFeedInTheSettingsNothingForAnEqualOneAndAnErrorForABadFeed)
{
    // The feed address in the settings wins over the built-in one.
    auto newerFeed = writeFeed("newer.xml", item("1.1", "1.1") + item("1.3", "1.3") + item("1.2.5", "1.2.5"));
    ASSERT_TRUE(userDefaults->set("updateFeedURL", plist::PropertyList(newerFeed)));
    auto newer = makeUpdater("https://tavik.app/appcast.xml");
    EXPECT_EQ(newer->feedURL(), newerFeed);
    EXPECT_EQ(newer->lastUpdateCheckDate(), std::nullopt);
    auto before = Updater::Clock::now();
    newer->checkForUpdates();
    EXPECT_EQ(recorder->waitFor(2), (Strings {"didFindValidUpdate 1.3", "showUpdateFound 1.3 over 1.2 https://tavik.app/releases"}));
    ASSERT_TRUE(newer->lastUpdateCheckDate());
    EXPECT_GE(*newer->lastUpdateCheckDate() + 1s, before);

    ASSERT_TRUE(userDefaults->removeObject("updateFeedURL"));
    auto equal = makeUpdater(writeFeed("equal.xml", item("1.2.0", "1.2") + item("1.0", "1.0")));
    ASSERT_TRUE(equal->lastUpdateCheckDate()) << "the last check date is kept in the user defaults";
    equal->checkForUpdates();
    EXPECT_EQ(recorder->waitFor(2), (Strings {"didNotFindUpdate", "showUpdateNotFound"}));

    auto malformed = makeUpdater(writeFeed("malformed.xml", "<item><title>Tavik 9</title></item>"));
    malformed->checkForUpdates();
    EXPECT_EQ(recorder->waitFor(2), (Strings {"didAbort 2002", "showUpdaterError 2002"}));
    EXPECT_FALSE(malformed->sessionInProgress());

    EXPECT_TRUE(isUpdaterError(makeUpdater("http://tavik.app/feed.xml")->startUpdater().error(), UpdaterError::Code::invalidFeedURL));
}

TEST_F(UpdaterTest, StartingAsksForPermissionOnceThenChecksOnSchedule)
{
    auto equalFeed = writeFeed("equal.xml", item("1.2", "1.2"));
    // Before the setup has run the delegate declines to ask: nothing is decided or scheduled.
    auto updater = makeUpdater(equalFeed);
    recorder->promptForPermission = false;
    ASSERT_TRUE(updater->startUpdater());
    EXPECT_EQ(recorder->waitFor(1), (Strings {"shouldPrompt"}));
    EXPECT_FALSE(updater->automaticallyChecksForUpdates());

    // Asked now, the user agrees: the first check is due at once, then after
    // the interval. A scheduled check that finds nothing ends with code 1001.
    updater = makeUpdater(equalFeed, 3600s);
    ASSERT_TRUE(updater->startUpdater());
    auto calls = recorder->waitFor(6);
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(Strings(calls.begin(), calls.begin() + 5), (Strings {"shouldPrompt", "showPermissionRequest", "willSchedule 0", "didNotFindUpdate", "scheduledCheckDidAbort 1001"}));
    EXPECT_TRUE(calls[5] == "willSchedule 3600" || calls[5] == "willSchedule 3599") << calls[5];
    EXPECT_TRUE(updater->automaticallyChecksForUpdates());

    // The choice is kept: the next start schedules from the last check without asking.
    updater = makeUpdater(equalFeed, 3600s);
    ASSERT_TRUE(updater->startUpdater());
    calls = recorder->waitFor(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].starts_with("willSchedule 35") || calls[0] == "willSchedule 3600") << calls[0];

    updater->setAutomaticallyChecksForUpdates(false);
    updater->setAutomaticallyDownloadsUpdates(true);
    auto reread = makeUpdater(equalFeed);
    EXPECT_FALSE(reread->automaticallyChecksForUpdates());
    EXPECT_TRUE(reread->automaticallyDownloadsUpdates());
}

class AlertRecorder final : public StandardUserDriverDelegate {
public:
    void standardUserDriverWillShowModalAlert() override { calls.push_back("will show"); }
    void standardUserDriverDidShowModalAlert() override { calls.push_back("did show"); }
    Strings calls;
};

TEST(StandardUserDriverTest, EachAlertIsAnnouncedToTheDelegateAndCarriesTheRelease)
{
    auto delegate = std::make_shared<AlertRecorder>();
    std::vector<UpdateAlert> shown;
    size_t answer = 1;
    StandardUserDriver driver([&](const UpdateAlert& alert) {
        delegate->calls.push_back("present " + alert.title);
        shown.push_back(alert);
        return answer;
    },
        delegate);

    driver.showUpdateFound({"Tavik 1.3", "130", "1.3", "https://tavik.app/releases/1.3"}, "1.2");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].message, "Tavik 1.3 is now available—you have 1.2.");
    EXPECT_EQ(shown[0].link, "https://tavik.app/releases/1.3");
    EXPECT_EQ(delegate->calls, (Strings {"will show", "present A new version of Tavik is available!", "did show"}));

    std::optional<bool> automatically;
    driver.showUpdatePermissionRequest([&](bool value) { automatically = value; });
    EXPECT_EQ(automatically, false) << "the second button declines";
    answer = 0;
    driver.showUpdatePermissionRequest([&](bool value) { automatically = value; });
    EXPECT_EQ(automatically, true);

    driver.showUpdaterError(UpdaterError::make(UpdaterError::Code::feedUnreadable, "file:///x: not found"));
    EXPECT_EQ(shown.back().title, "Update Error!");
    EXPECT_NE(shown.back().message.find("not found"), std::string::npos);
}

} // namespace
