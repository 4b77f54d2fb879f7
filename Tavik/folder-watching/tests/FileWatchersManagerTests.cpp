#include "Tavik/folder-watching/FileWatchersManager.hpp"

#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "Tavik/folder-watching/tests/RecordingFileHandler.hpp"
#include "platform/foundation/Bookmark.hpp"
#include "platform/foundation/FileIdentity.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/Files.hpp"

#include <future>
#include <thread>

using namespace tavik;
using namespace std::chrono_literals;
using options::FileFoundActionOption;
using tavik::testing::eventually;
using tavik::testing::runTavik;
using tavik::testing::writeFile;
using Outcome = FileHandler::FileOutcome;
using IDs = std::set<std::string>;
namespace fs = std::filesystem;

namespace {

class FileWatchersManagerTest : public tavik::testing::ConfigurationTest {
protected:
    void SetUp() override
    {
        ConfigurationTest::SetUp();
        configurations = FileSourceConfigurationsManager::make(userDefaults);
        destinations = std::make_shared<ApplicationsDestinationManager>(userDefaults);
        handler = std::make_shared<tavik::testing::RecordingFileHandler>(destinations);
        destination = destinations->destination(URL::fileURL(makeFolder("Applications"), true)).value();
    }

    std::shared_ptr<FileWatchersManager> startManager()
    {
        auto manager = FileWatchersManager::make(handler, configurations, destinations,
            log::Logger("app.tavik.Tavik", "File Watchers Manager"), userDefaults, std::make_shared<progress::FileProgressService>());
        manager->startWatching();
        return manager;
    }
    FileSourceConfigurationPtr addFolder(const std::string& name, bool withDestination = true)
    {
        return configurations->addFolder(URL::fileURL(makeFolder(name), true), withDestination ? std::optional(destination->uuid()) : std::nullopt).value();
    }
    bool handedOver(size_t count) const
    {
        return eventually([&] { return handler->calls().size() >= count; });
    }
    // Stops and starts the folder's watcher: the new one lists the folder again.
    void rewatch(const FileSourceConfigurationPtr& configuration, const FileWatchersManager& manager, FileFoundActionOption action)
    {
        ASSERT_TRUE(configuration->fileFoundAction().store(FileFoundActionOption::ignore).ok());
        ASSERT_TRUE(eventually([&] { return !manager.watchedConfigurationIDs().contains(configuration->id()); }));
        ASSERT_TRUE(configuration->fileFoundAction().store(action).ok());
        ASSERT_TRUE(eventually([&] { return manager.watchedConfigurationIDs().contains(configuration->id()); }));
    }

    std::shared_ptr<FileSourceConfigurationsManager> configurations;
    std::shared_ptr<ApplicationsDestinationManager> destinations;
    std::shared_ptr<tavik::testing::RecordingFileHandler> handler;
    ApplicationsDestinationPtr destination;
};

// Runs the work on a thread of its own and says whether it ended in time. A
// thread that does not end is deadlocked and cannot be taken back: the test
// program ends right away then, reported as failed.
bool finishesWithin(std::chrono::seconds timeout, std::function<void()> work)
{
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([work = std::move(work), done] {
        work();
        done->set_value();
    }).detach();
    if (finished.wait_for(timeout) == std::future_status::ready)
        return true;
    ADD_FAILURE() << "still running after " << timeout.count() << " s: deadlocked";
    std::fflush(stdout);
    std::_Exit(1);
}

} // namespace

TEST_F(FileWatchersManagerTest, HandsOverEachFileOnceAndRemembersHandledAndIgnoredFilesAcrossRuns)
{
    auto configuration = addFolder("Downloads");
    auto handled = root / "Downloads/first.zip", ignored = root / "Downloads/second.zip";
    writeFile(handled, "download");
    writeFile(ignored, "download");
    auto manager = startManager();
    EXPECT_EQ(manager->watchedConfigurationIDs(), IDs {configuration->id()});
    ASSERT_TRUE(handedOver(2));
    for (auto& call : handler->calls()) {
        EXPECT_EQ(call.configuration, configuration);
        call.completion(call.url.path() == handled ? Outcome::completed({}) : Outcome::ignored());
    }
    EXPECT_EQ(manager->handledFileBookmarks().currentValue(), FileWatchersManager::Bookmarks {fileIdentityBytes(URL::fileURL(handled)).value()});
    EXPECT_EQ(manager->ignoredFileBookmarks().currentValue(), FileWatchersManager::Bookmarks {fileIdentityBytes(URL::fileURL(ignored)).value()});

    // The next run lists both again and hands neither over; a new file is.
    manager.reset();
    log::LogCapture logs;
    writeFile(root / "Downloads/third.zip", "download");
    manager = startManager();
    ASSERT_TRUE(handedOver(3));
    EXPECT_EQ(handler->calls()[2].url.path(), root / "Downloads/third.zip");
    EXPECT_TRUE(logs.contains(log::Level::debug, "File has already been handled: " + handled.string()));
    EXPECT_TRUE(logs.contains(log::Level::debug, "File has been ignored: " + ignored.string()));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(handler->calls().size(), 3u);
}

TEST_F(FileWatchersManagerTest, AFileInFlightIsHandedOverOnceAndADismissedOrFailedOneAgainLater)
{
    auto configuration = addFolder("Downloads");
    auto file = root / "Downloads/app.dmg";
    writeFile(file, "download");
    auto manager = startManager();
    ASSERT_TRUE(handedOver(1));

    log::LogCapture logs;
    rewatch(configuration, *manager, FileFoundActionOption::alwaysAsk);
    EXPECT_TRUE(eventually([&] { return logs.contains(log::Level::debug, "File is already being handled: " + file.string()); }));
    EXPECT_EQ(handler->calls().size(), 1u);

    // Dismissed: nothing is recorded, and the next listing hands it over again.
    handler->calls()[0].completion(Outcome::dismissed());
    rewatch(configuration, *manager, FileFoundActionOption::searchForApplications);
    ASSERT_TRUE(handedOver(2));
    EXPECT_EQ(handler->calls()[1].url.path(), file);
    // Errors are logged and leave the file unrecorded.
    handler->calls()[1].completion(Outcome::error(FileHandler::Error::unsupportedFileType(FileType("public.plain-text"))));
    EXPECT_TRUE(logs.contains(log::Level::debug, "File type \"public.plain-text\" is not supported"));
    EXPECT_TRUE(manager->handledFileBookmarks().currentValue().empty());
    EXPECT_TRUE(manager->ignoredFileBookmarks().currentValue().empty());
}

TEST_F(FileWatchersManagerTest, WatchersFollowTheConfigurationList)
{
    auto watched = addFolder("Watched");
    auto later = addFolder("Later", /*withDestination=*/false);
    writeFile(root / "Watched/kept.zip", "download");
    writeFile(root / "Later/waiting.zip", "download");
    auto manager = startManager();
    EXPECT_EQ(manager->watchedConfigurationIDs(), IDs {watched->id()}) << "a folder without a destination is not watched";
    ASSERT_TRUE(handedOver(1));
    handler->calls()[0].completion(Outcome::dismissed());

    // Choosing a destination starts the folder's watcher and its first scan;
    // the other folder's watcher keeps running (a new one would report its
    // dismissed file again).
    ASSERT_TRUE(later->destinationBookmarkUUID().store(destination->uuid()).ok());
    ASSERT_TRUE(handedOver(2));
    EXPECT_EQ(handler->calls()[1].url.path(), root / "Later/waiting.zip");
    EXPECT_EQ(manager->watchedConfigurationIDs(), (IDs {watched->id(), later->id()}));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(handler->calls().size(), 2u);

    // A folder added while watching (nobody but the manager keeps its
    // configuration) is handled with the object the list holds.
    std::string id = addFolder("Added")->id();
    ASSERT_TRUE(eventually([&] { return manager->watchedConfigurationIDs().contains(id); }));
    writeFile(root / "Added/Example.zip", "download");
    ASSERT_TRUE(handedOver(3));
    auto call = handler->calls()[2];
    EXPECT_EQ(call.url.path(), root / "Added/Example.zip");
    EXPECT_EQ(call.configuration, configurations->fileSourceConfigurations().back());

    // Removing a configuration stops its watcher.
    ASSERT_TRUE(configurations->removeConfigurations([&](const FileSourceConfiguration& c) { return c.id() == later->id() || c.id() == id; }).ok());
    EXPECT_TRUE(eventually([&] { return manager->watchedConfigurationIDs() == IDs {watched->id()}; }));
}

TEST_F(FileWatchersManagerTest, AFolderRenamedBeforeTheStartIsWatchedUnderItsNewNameAndItsBookmarkRenewed)
{
    auto configuration = addFolder("Downloads");
    auto oldBookmark = configuration->watchDirectoryBookmarkData().currentValue();
    auto renamed = root / "Downloads-renamed";
    fs::rename(root / "Downloads", renamed);
    writeFile(renamed / "waiting.zip", "download");
    // Whoever hears of the renewal changes another setting from inside its
    // observer: a second folder stops being watched.
    auto other = addFolder("Other");
    auto token = configuration->watchDirectoryBookmarkData().observe([&](const auto&) {
        ASSERT_TRUE(other->fileFoundAction().store(FileFoundActionOption::ignore).ok());
    });

    std::shared_ptr<FileWatchersManager> manager;
    ASSERT_TRUE(finishesWithin(30s, [&] { manager = startManager(); }));
    EXPECT_EQ(manager->watchedConfigurationIDs(), IDs {configuration->id()});
    ASSERT_TRUE(handedOver(1));
    EXPECT_EQ(handler->calls()[0].url.path(), renamed / "waiting.zip");
    auto renewed = configuration->watchDirectoryBookmarkData().currentValue();
    ASSERT_TRUE(renewed);
    EXPECT_NE(renewed, oldBookmark);
    auto resolved = resolveBookmarkData(*renewed, BookmarkResolutionOptions::withSecurityScope).value();
    EXPECT_EQ(resolved.url.path(), renamed);
    EXPECT_FALSE(resolved.isStale);
}

// The running Tavik against `tavik sources` run by another process: folders
// A and B, A removed, then B set to ignore.
TEST_F(FileWatchersManagerTest, SourcesChangedByAnotherProcessReachTheRunningWatchers)
{
    auto a = addFolder("A"), b = addFolder("B");
    auto manager = startManager();
    ASSERT_EQ(manager->watchedConfigurationIDs(), (IDs {a->id(), b->id()}));
    ASSERT_EQ(runTavik(root / "config", {"sources", "remove", a->id()}), 0);
    ASSERT_TRUE(eventually([&] { return manager->watchedConfigurationIDs() == IDs {b->id()}; }));
    ASSERT_EQ(runTavik(root / "config", {"sources", "set", b->id(), "FileFoundAction", "ignore"}), 0);
    EXPECT_TRUE(eventually([&] { return manager->watchedConfigurationIDs().empty(); }));
    EXPECT_EQ(b->fileFoundAction().currentValue(), FileFoundActionOption::ignore);
    writeFile(root / "B/late.zip", "download");
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(handler->calls().empty());
}
