#include "Tavik/folder-watching/FileWatchersManager.hpp"

#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "platform/foundation/Bookmark.hpp"
#include "platform/foundation/FileIdentity.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/Recorder.hpp"

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

// Records the files handed over; the test decides each outcome.
class RecordingFileHandler final : public FileHandler {
public:
    struct Call {
        URL url;
        FileSourceConfigurationPtr configuration;
        Completion completion;
    };

    explicit RecordingFileHandler(std::shared_ptr<ApplicationsDestinationManager> destinations)
        : FileHandler(std::move(destinations), log::Logger("app.tavik.Tavik", "File Handler"))
    {
    }
    void handleFile(URL fileURL, FileSourceConfigurationPtr configuration, Completion completion) override
    {
        calls_.add({std::move(fileURL), std::move(configuration), std::move(completion)});
    }
    std::vector<Call> calls() const { return calls_.all(); }

private:
    tavik::testing::Recorder<Call> calls_;
};

class FileWatchersManagerTest : public tavik::testing::SourcesTest {
protected:
    void SetUp() override
    {
        SourcesTest::SetUp();
        handler = std::make_shared<RecordingFileHandler>(destinations);
        destination = destinations->destination(URL::fileURL(makeFolder("Applications"), true)).value()->uuid();
    }

    std::shared_ptr<FileWatchersManager> startManager()
    {
        auto manager = FileWatchersManager::make(handler, sources, destinations,
            log::Logger("app.tavik.Tavik", "File Watchers Manager"), userDefaults, std::make_shared<progress::FileProgressService>());
        manager->startWatching();
        return manager;
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

    std::shared_ptr<RecordingFileHandler> handler;
    UUID destination;
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

// A file in flight is handed over once, however often its folder is listed;
// handled and ignored files are remembered across runs, and a dismissed or
// failed one is handed over again by the next listing.
TEST_F(FileWatchersManagerTest, HandsOverEachFileOnceAndRemembersOnlyHandledAndIgnoredFiles)
{
    auto configuration = addFolder("Downloads", destination);
    auto handled = root / "Downloads/first.zip", ignored = root / "Downloads/second.zip", dismissed = root / "Downloads/app.dmg";
    for (const auto& file : {handled, ignored, dismissed})
        writeFile(file, "download");
    auto manager = startManager();
    EXPECT_EQ(manager->watchedConfigurationIDs(), IDs {configuration->id()});
    ASSERT_TRUE(handedOver(3));
    log::LogCapture logs;
    rewatch(configuration, *manager, FileFoundActionOption::alwaysAsk);
    EXPECT_TRUE(eventually([&] { return logs.contains(log::Level::debug, "File is already being handled: " + dismissed.string()); }));
    EXPECT_EQ(handler->calls().size(), 3u);
    for (auto& call : handler->calls()) {
        EXPECT_EQ(call.configuration, configuration);
        call.completion(call.url.path() == handled ? Outcome::completed({}) : call.url.path() == ignored ? Outcome::ignored()
                                                                                                         : Outcome::dismissed());
    }
    EXPECT_EQ(manager->handledFileBookmarks().currentValue(), FileWatchersManager::Bookmarks {fileIdentityBytes(URL::fileURL(handled)).value()});
    EXPECT_EQ(manager->ignoredFileBookmarks().currentValue(), FileWatchersManager::Bookmarks {fileIdentityBytes(URL::fileURL(ignored)).value()});

    // The next run lists them all again and hands over the dismissed one and a new one.
    manager.reset();
    writeFile(root / "Downloads/third.zip", "download");
    manager = startManager();
    ASSERT_TRUE(handedOver(5));
    auto calls = handler->calls();
    EXPECT_EQ((std::set<fs::path> {calls[3].url.path(), calls[4].url.path()}), (std::set<fs::path> {dismissed, root / "Downloads/third.zip"}));
    EXPECT_TRUE(logs.contains(log::Level::debug, "File has already been handled: " + handled.string()));
    EXPECT_TRUE(logs.contains(log::Level::debug, "File has been ignored: " + ignored.string()));
    // Errors are logged and leave the file unrecorded.
    calls[3].completion(Outcome::error(FileHandler::Error::unsupportedFileType(FileType("public.plain-text"))));
    EXPECT_TRUE(logs.contains(log::Level::debug, "File type \"public.plain-text\" is not supported"));
    EXPECT_EQ(manager->handledFileBookmarks().currentValue().size(), 1u);
    EXPECT_EQ(manager->ignoredFileBookmarks().currentValue().size(), 1u);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(handler->calls().size(), 5u);
}

TEST_F(FileWatchersManagerTest, WatchersFollowTheConfigurationList)
{
    auto watched = addFolder("Watched", destination);
    auto later = addFolder("Later");
    writeFile(root / "Watched/kept.zip", "download");
    writeFile(root / "Later/waiting.zip", "download");
    auto manager = startManager();
    EXPECT_EQ(manager->watchedConfigurationIDs(), IDs {watched->id()}) << "a folder without a destination is not watched";
    ASSERT_TRUE(handedOver(1));
    handler->calls()[0].completion(Outcome::dismissed());

    // Choosing a destination starts the folder's watcher and its first scan;
    // the other folder's watcher keeps running (a new one would report its
    // dismissed file again).
    ASSERT_TRUE(later->destinationBookmarkUUID().store(destination).ok());
    ASSERT_TRUE(handedOver(2));
    EXPECT_EQ(handler->calls()[1].url.path(), root / "Later/waiting.zip");
    EXPECT_EQ(manager->watchedConfigurationIDs(), (IDs {watched->id(), later->id()}));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(handler->calls().size(), 2u);

    // A folder added while watching (nobody but the manager keeps its
    // configuration) is handled with the object the list holds.
    std::string id = addFolder("Added", destination)->id();
    ASSERT_TRUE(eventually([&] { return manager->watchedConfigurationIDs().contains(id); }));
    writeFile(root / "Added/Example.zip", "download");
    ASSERT_TRUE(handedOver(3));
    auto call = handler->calls()[2];
    EXPECT_EQ(call.url.path(), root / "Added/Example.zip");
    EXPECT_EQ(call.configuration, sources->fileSourceConfigurations().back());

    // Removing a configuration stops its watcher.
    ASSERT_TRUE(sources->removeConfigurations([&](const FileSourceConfiguration& c) { return c.id() == later->id() || c.id() == id; }).ok());
    EXPECT_TRUE(eventually([&] { return manager->watchedConfigurationIDs() == IDs {watched->id()}; }));
}

TEST_F(FileWatchersManagerTest, AFolderRenamedBeforeTheStartIsWatchedUnderItsNewNameAndItsBookmarkRenewed)
{
    auto configuration = addFolder("Downloads", destination);
    auto oldBookmark = configuration->watchDirectoryBookmarkData().currentValue();
    auto renamed = root / "Downloads-renamed";
    fs::rename(root / "Downloads", renamed);
    writeFile(renamed / "waiting.zip", "download");
    // Whoever hears of the renewal changes another setting from inside its
    // observer: a second folder stops being watched.
    auto other = addFolder("Other", destination);
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
    auto a = addFolder("A", destination), b = addFolder("B", destination);
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
