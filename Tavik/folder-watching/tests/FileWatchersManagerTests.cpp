#include "Tavik/folder-watching/FileWatchersManager.hpp"

#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "platform/foundation/Bookmark.hpp"
#include "platform/foundation/FileIdentity.hpp"
#include "platform/log/LogCapture.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <future>

using namespace tavik;
using namespace std::chrono_literals;
using options::FileFoundActionOption;
using tavik::testing::runSourcesEditor;
namespace fs = std::filesystem;

namespace {

// Records the files handed over; the test decides each outcome. The real
// handler is exercised by the end-to-end tests.
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
        std::lock_guard lock(mutex_);
        calls_.push_back({std::move(fileURL), std::move(configuration), std::move(completion)});
        changed_.notify_all();
    }

    // Waits until at least `count` files were handed over.
    bool waitForCalls(size_t count, std::chrono::milliseconds timeout = 5s)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
    }
    size_t callCount()
    {
        std::lock_guard lock(mutex_);
        return calls_.size();
    }
    Call call(size_t index)
    {
        std::lock_guard lock(mutex_);
        return calls_.at(index);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
};

class FileWatchersManagerTest : public tavik::testing::ConfigurationTest {
protected:
    void SetUp() override
    {
        tavik::testing::ConfigurationTest::SetUp();
        configurations = FileSourceConfigurationsManager::make(userDefaults);
        destinations = std::make_shared<ApplicationsDestinationManager>(userDefaults);
        handler = std::make_shared<RecordingFileHandler>(destinations);
        destination = destinations->destination(URL::fileURL(makeFolder("Applications"), true)).value();
    }

    std::shared_ptr<FileWatchersManager> makeManager()
    {
        return FileWatchersManager::make(handler, configurations, destinations,
            log::Logger("app.tavik.Tavik", "File Watchers Manager"), userDefaults, progressService);
    }

    FileSourceConfigurationPtr addFolder(const fs::path& folder, bool withDestination = true)
    {
        std::optional<UUID> uuid;
        if (withDestination)
            uuid = destination->uuid();
        return configurations->addFolder(URL::fileURL(folder, true), uuid).value();
    }

    static fs::path writeFile(const fs::path& path, const std::string& content = "download")
    {
        std::ofstream(path) << content;
        return path;
    }

    static bool eventually(const std::function<bool()>& condition)
    {
        for (auto deadline = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < deadline;) {
            if (condition())
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return condition();
    }

    std::shared_ptr<progress::FileProgressService> progressService = std::make_shared<progress::FileProgressService>();
    std::shared_ptr<FileSourceConfigurationsManager> configurations;
    std::shared_ptr<ApplicationsDestinationManager> destinations;
    std::shared_ptr<RecordingFileHandler> handler;
    ApplicationsDestinationPtr destination;
};

} // namespace

TEST_F(FileWatchersManagerTest, HandsOverEachFileOnceAndRemembersHandledAndIgnoredFilesAcrossRuns)
{
    auto downloads = makeFolder("Downloads");
    auto configuration = addFolder(downloads);
    auto handled = writeFile(downloads / "first.zip");
    auto ignored = writeFile(downloads / "second.zip");

    auto manager = makeManager();
    EXPECT_TRUE(manager->watchedConfigurationIDs().empty()) << "nothing is watched before startWatching";
    manager->startWatching();
    EXPECT_EQ(manager->watchedConfigurationIDs(), std::set<std::string> {configuration->id()});
    ASSERT_TRUE(handler->waitForCalls(2));
    EXPECT_EQ(handler->call(0).configuration, configuration);

    for (size_t index = 0; index < 2; ++index) {
        auto call = handler->call(index);
        call.completion(call.url.path() == handled ? FileHandler::FileOutcome::completed({})
                                                   : FileHandler::FileOutcome::ignored());
    }
    EXPECT_EQ(manager->handledFileBookmarks().currentValue(),
        FileWatchersManager::Bookmarks {fileIdentityBytes(URL::fileURL(handled)).value()});
    EXPECT_EQ(manager->ignoredFileBookmarks().currentValue(),
        FileWatchersManager::Bookmarks {fileIdentityBytes(URL::fileURL(ignored)).value()});

    // The next run lists both again and hands neither over; a new file is.
    manager.reset();
    log::LogCapture logs;
    auto fresh = writeFile(downloads / "third.zip");
    auto restarted = makeManager();
    restarted->startWatching();
    ASSERT_TRUE(handler->waitForCalls(3));
    EXPECT_EQ(handler->call(2).url.path(), fresh);
    EXPECT_TRUE(logs.contains(log::Level::debug, "File has already been handled: " + handled.string()));
    EXPECT_TRUE(logs.contains(log::Level::debug, "File has been ignored: " + ignored.string()));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(handler->callCount(), 3u);
}

TEST_F(FileWatchersManagerTest, AFileReportedAgainWhileInFlightIsHandedOverOnceAndADismissedOneAgainLater)
{
    auto downloads = makeFolder("Downloads");
    auto configuration = addFolder(downloads);
    auto file = writeFile(downloads / "app.dmg");
    auto manager = makeManager();
    manager->startWatching();
    ASSERT_TRUE(handler->waitForCalls(1));

    // A new watcher for the folder lists the file again while it is in flight.
    log::LogCapture logs;
    ASSERT_TRUE(configuration->fileFoundAction().store(FileFoundActionOption::ignore).ok());
    ASSERT_TRUE(eventually([&] { return manager->watchedConfigurationIDs().empty(); }));
    ASSERT_TRUE(configuration->fileFoundAction().store(FileFoundActionOption::alwaysAsk).ok());
    ASSERT_TRUE(eventually([&] { return !manager->watchedConfigurationIDs().empty(); }));
    EXPECT_TRUE(eventually([&] { return logs.contains(log::Level::debug, "File is already being handled: " + file.string()); }));
    EXPECT_EQ(handler->callCount(), 1u);

    // Dismissed: nothing is recorded, and the next report hands it over again.
    handler->call(0).completion(FileHandler::FileOutcome::dismissed());
    EXPECT_TRUE(manager->handledFileBookmarks().currentValue().empty());
    EXPECT_TRUE(manager->ignoredFileBookmarks().currentValue().empty());
    ASSERT_TRUE(configuration->fileFoundAction().store(FileFoundActionOption::ignore).ok());
    ASSERT_TRUE(eventually([&] { return manager->watchedConfigurationIDs().empty(); }));
    ASSERT_TRUE(configuration->fileFoundAction().store(FileFoundActionOption::searchForApplications).ok());
    ASSERT_TRUE(handler->waitForCalls(2));
    EXPECT_EQ(handler->call(1).url.path(), file);

    // Errors are logged and leave the file unrecorded.
    handler->call(1).completion(FileHandler::FileOutcome::error(FileHandler::Error::unsupportedFileType(FileType("public.plain-text"))));
    EXPECT_TRUE(logs.contains(log::Level::debug, "File type \"public.plain-text\" is not supported"));
    EXPECT_TRUE(manager->handledFileBookmarks().currentValue().empty());
}

TEST_F(FileWatchersManagerTest, WatchersFollowTheConfigurationList)
{
    auto watchedFolder = makeFolder("Watched");
    auto laterFolder = makeFolder("Later");
    auto watched = addFolder(watchedFolder);
    auto later = addFolder(laterFolder, /*withDestination=*/false);
    writeFile(watchedFolder / "kept.zip");
    writeFile(laterFolder / "waiting.zip");

    auto manager = makeManager();
    manager->startWatching();
    EXPECT_EQ(manager->watchedConfigurationIDs(), std::set<std::string> {watched->id()})
        << "a folder without a destination is not watched";
    ASSERT_TRUE(handler->waitForCalls(1));
    handler->call(0).completion(FileHandler::FileOutcome::dismissed());

    // Choosing a destination starts the folder's watcher and its first scan;
    // the other folder's watcher keeps running (a new one would report its
    // dismissed file again).
    ASSERT_TRUE(later->destinationBookmarkUUID().store(destination->uuid()).ok());
    ASSERT_TRUE(handler->waitForCalls(2));
    EXPECT_EQ(handler->call(1).url.path(), laterFolder / "waiting.zip");
    EXPECT_EQ(manager->watchedConfigurationIDs(), (std::set<std::string> {watched->id(), later->id()}));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(handler->callCount(), 2u);

    // New files are reported by the running watchers.
    writeFile(watchedFolder / "new.zip");
    ASSERT_TRUE(handler->waitForCalls(3));
    EXPECT_EQ(handler->call(2).url.path(), watchedFolder / "new.zip");

    // Removing a configuration stops its watcher.
    ASSERT_TRUE(configurations->removeConfigurations([&](const FileSourceConfiguration& c) { return c.id() == later->id(); }).ok());
    EXPECT_TRUE(eventually([&] { return manager->watchedConfigurationIDs() == std::set<std::string> {watched->id()}; }));
}

namespace {

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

TEST_F(FileWatchersManagerTest, AFolderRenamedBeforeTheStartIsWatchedUnderItsNewNameAndItsBookmarkRenewed)
{
    auto downloads = makeFolder("Downloads");
    auto configuration = addFolder(downloads);
    auto oldBookmark = configuration->watchDirectoryBookmarkData().currentValue();
    auto renamed = root / "Downloads-renamed";
    fs::rename(downloads, renamed);
    writeFile(renamed / "waiting.zip");

    // Whoever hears of the renewal changes another setting from inside its
    // observer: a second folder stops being watched.
    auto other = addFolder(makeFolder("Other"));
    auto token = configuration->watchDirectoryBookmarkData().observe([&](const auto&) {
        ASSERT_TRUE(other->fileFoundAction().store(FileFoundActionOption::ignore).ok());
    });

    auto manager = makeManager();
    ASSERT_TRUE(finishesWithin(30s, [&] { manager->startWatching(); }));
    EXPECT_EQ(manager->watchedConfigurationIDs(), std::set<std::string> {configuration->id()});
    ASSERT_TRUE(handler->waitForCalls(1));
    EXPECT_EQ(handler->call(0).url.path(), renamed / "waiting.zip");

    auto renewed = configuration->watchDirectoryBookmarkData().currentValue();
    ASSERT_TRUE(renewed);
    EXPECT_NE(renewed, oldBookmark);
    auto resolved = resolveBookmarkData(*renewed, BookmarkResolutionOptions::withSecurityScope);
    ASSERT_TRUE(resolved.ok());
    EXPECT_EQ(resolved->url.path(), renamed);
    EXPECT_FALSE(resolved->isStale);
}

// The running Tavik against `tavik sources` run by another process: folders
// A and B, A removed, then B set to ignore.
TEST_F(FileWatchersManagerTest, SourcesChangedByAnotherProcessReachTheRunningWatchers)
{
    auto a = addFolder(makeFolder("A"));
    auto b = addFolder(makeFolder("B"));
    auto manager = makeManager();
    manager->startWatching();
    ASSERT_EQ(manager->watchedConfigurationIDs(), (std::set<std::string> {a->id(), b->id()}));

    ASSERT_EQ(runSourcesEditor(userDefaults->filePath(), {"remove", a->id()}), 0);
    ASSERT_TRUE(eventually([&] { return manager->watchedConfigurationIDs() == std::set<std::string> {b->id()}; }));
    ASSERT_EQ(runSourcesEditor(userDefaults->filePath(), {"set", b->id(), "FileFoundAction", "ignore"}), 0);
    EXPECT_TRUE(eventually([&] { return manager->watchedConfigurationIDs().empty(); }));
    EXPECT_EQ(b->fileFoundAction().currentValue(), FileFoundActionOption::ignore);
    writeFile(root / "B" / "late.zip");
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(handler->callCount(), 0u);
}

TEST_F(FileWatchersManagerTest, AFolderAddedWhileWatchingIsHandledWithTheListsCurrentConfiguration)
{
    auto manager = makeManager();
    manager->startWatching();

    // Added in this process while watching, as the file sources window does;
    // nobody but the manager keeps the configuration.
    auto folder = makeFolder("Added");
    std::string id = addFolder(folder)->id();
    ASSERT_TRUE(eventually([&] { return manager->watchedConfigurationIDs().contains(id); }));

    writeFile(folder / "Example.zip");
    ASSERT_TRUE(handler->waitForCalls(1));
    auto call = handler->call(0);
    EXPECT_EQ(call.url.path(), folder / "Example.zip");
    ASSERT_TRUE(call.configuration);
    EXPECT_EQ(call.configuration->id(), id);
    bool isListed = false;
    for (const auto& configuration : configurations->fileSourceConfigurations())
        isListed = isListed || configuration == call.configuration;
    EXPECT_TRUE(isListed) << "the file is handled with the object the list holds";
    call.completion(FileHandler::FileOutcome::dismissed());
}
