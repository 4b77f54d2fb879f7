#include "Tavik/folder-watching/LauncherEntryKeeper.hpp"
#include "Tavik/folder-watching/tests/WatchedFolder.hpp"

#include "platform/foundation/FileError.hpp"
#include "platform/log/LogCapture.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <unistd.h>

using namespace tavik;
using namespace tavik::testing;
using progress::FileProgressService;
using progress::Progress;
using progress::ProgressPtr;

namespace {

// Subscribes after the watcher, so once this hears of a withdrawal the
// watcher's own unpublishing handler has already run.
class WithdrawalObserver {
public:
    WithdrawalObserver(FileProgressService& service, const fs::path& path)
        : service_(service)
        , token_(service.addSubscriber(URL::fileURL(path, false), [this](const ProgressPtr&) {
            return FileProgressService::UnpublishingHandler([this] {
                std::lock_guard lock(mutex_);
                withdrawn_ = true;
                changed_.notify_all();
            });
        }))
    {
    }
    ~WithdrawalObserver() { service_.removeSubscriber(token_); }
    bool waitForWithdrawal()
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return withdrawn_; });
    }

private:
    FileProgressService& service_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool withdrawn_ = false;
    FileProgressService::SubscriberToken token_;
};

} // namespace

using DirectoryWatcherTest = WatchedFolder;

TEST_F(DirectoryWatcherTest, AFolderThatCannotBeWatchedFailsWithItsReason)
{
    write(root / "not-a-folder", "x");
    const struct {
        URL url;
        DirectoryWatcherError::Case errorCase;
        int errorNumber;
    } cases[] = {
        {URL::fileURL(root / "missing", true), DirectoryWatcherError::Case::directoryOpenFailed, ENOENT},
        {URL::fileURL(root / "not-a-folder", true), DirectoryWatcherError::Case::directoryOpenFailed, ENOTDIR},
        {URL::fileURL(std::string("/tmp/bad\0name", 13), true), DirectoryWatcherError::Case::directoryURLInvalid, 0},
    };
    for (const auto& [url, errorCase, errorNumber] : cases) {
        SCOPED_TRACE(url.description());
        auto made = DirectoryWatcher::create(
            url, queue, log::Logger("app.tavik.Tavik", "Directory Watcher"),
            [](const URL&) { ADD_FAILURE() << "no watcher, no reports"; }, service);
        ASSERT_FALSE(made.ok());
        auto error = std::dynamic_pointer_cast<const DirectoryWatcherError>(made.error());
        ASSERT_TRUE(error);
        EXPECT_EQ(error->errorCase(), errorCase);
        if (errorNumber) {
            EXPECT_EQ(error->errorNumber(), errorNumber);
            EXPECT_EQ(error->description(), std::strerror(errorNumber));
        } else {
            EXPECT_EQ(error->url(), url);
        }
    }
}

TEST_F(DirectoryWatcherTest, TheFirstScanReportsFilesWithContentOnTheCreatingThread)
{
    write(folder / "Example.dmg", "image");
    write(folder / ".hidden.zip", "archive");
    write(folder / "empty.pkg", "");
    auto creatingThread = std::this_thread::get_id();
    std::vector<std::pair<fs::path, std::thread::id>> calls;
    auto made = DirectoryWatcher::create(
        URL::fileURL(folder, true), queue,
        log::Logger("app.tavik.Tavik", "Directory Watcher"),
        [&](const URL& url) { calls.emplace_back(url.path(), std::this_thread::get_id()); }, service);
    ASSERT_TRUE(made.ok());
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(calls, (std::vector<std::pair<fs::path, std::thread::id>> {{folder / ".hidden.zip", creatingThread}, {folder / "Example.dmg", creatingThread}}));
}

TEST_F(DirectoryWatcherTest, AFileMovedInIsReportedOnceOnTheWatchersQueue)
{
    std::atomic<bool> onQueue {false};
    auto made = DirectoryWatcher::create(
        URL::fileURL(folder, true), queue,
        log::Logger("app.tavik.Tavik", "Directory Watcher"), [this, &onQueue](const URL& url) {
            if (url.lastPathComponent() == "Example.dmg")
                onQueue = queue->isCurrent();
            reports->add(url);
        },
        service);
    ASSERT_TRUE(made.ok());
    watcher = std::move(made).value();

    auto file = moveIn("Example.dmg", "image");
    ASSERT_TRUE(reports->waitFor(file));
    EXPECT_TRUE(onQueue);
    settle();
    settle();
    EXPECT_EQ(reports->count(file), 1u);
}

TEST_F(DirectoryWatcherTest, RenamingGivesANewFileAndReplacingOneUnderTheSameNameToo)
{
    log::LogCapture capture;
    startWatching();
    auto original = moveIn("Example.dmg", "image");
    ASSERT_TRUE(reports->waitFor(original));

    auto renamed = folder / "Renamed.dmg";
    fs::rename(original, renamed);
    ASSERT_TRUE(reports->waitFor(renamed));
    queue->sync([] {});
    EXPECT_TRUE(capture.contains(log::Level::debug, "File at " + original.string() + " was removed"));

    // Keep the old file's number in use so that the new one cannot get it.
    int oldFile = ::open(renamed.c_str(), O_RDONLY);
    ASSERT_GE(oldFile, 0);
    fs::remove(renamed);
    moveIn("Renamed.dmg", "another image");
    ASSERT_TRUE(reports->waitFor(renamed, 2));
    ::close(oldFile);

    settle();
    EXPECT_EQ(reports->count(original), 1u);
    EXPECT_EQ(reports->count(renamed), 2u);
}

TEST_F(DirectoryWatcherTest, FilesAreKnownByTheirResolvedURL)
{
    fs::create_directory(root / "elsewhere");
    write(root / "elsewhere" / "Real.dmg", "image");
    startWatching();
    fs::create_symlink(root / "elsewhere" / "Real.dmg", folder / "Link.dmg");
    ASSERT_TRUE(reports->waitFor(root / "elsewhere" / "Real.dmg"));
    settle();
    EXPECT_EQ(reports->count(folder / "Link.dmg"), 0u);
    EXPECT_EQ(reports->count(root / "elsewhere" / "Real.dmg"), 1u);
}

TEST_F(DirectoryWatcherTest, APublishedProgressReportsTheFileWhenWithdrawnComplete)
{
    startWatching();
    // A browser's download lands empty and is filled while its progress is published.
    auto download = moveIn("Download.dmg", "");
    auto cancelled = moveIn("Cancelled.dmg", "");
    auto finished = moveIn("Finished.dmg", "image");
    ASSERT_TRUE(reports->waitFor(finished));
    settle();
    EXPECT_EQ(reports->count(download), 0u);

    WithdrawalObserver downloadWithdrawn(*service, download);
    WithdrawalObserver cancelledWithdrawn(*service, cancelled);
    WithdrawalObserver finishedWithdrawn(*service, finished);
    auto downloadProgress = std::make_shared<Progress>(200);
    auto cancelledProgress = std::make_shared<Progress>(200);
    auto finishedProgress = std::make_shared<Progress>(1);
    auto downloadPublication = service->publish(URL::fileURL(download, false), downloadProgress);
    auto cancelledPublication = service->publish(URL::fileURL(cancelled, false), cancelledProgress);
    auto finishedPublication = service->publish(URL::fileURL(finished, false), finishedProgress);

    write(download, "image");
    downloadProgress->setCompletedUnitCount(200);
    service->unpublish(downloadPublication);
    cancelledProgress->setCompletedUnitCount(199);
    service->unpublish(cancelledPublication);
    finishedProgress->setCompletedUnitCount(1);
    service->unpublish(finishedPublication);

    ASSERT_TRUE(downloadWithdrawn.waitForWithdrawal());
    ASSERT_TRUE(cancelledWithdrawn.waitForWithdrawal());
    ASSERT_TRUE(finishedWithdrawn.waitForWithdrawal());
    EXPECT_EQ(reports->count(download), 1u);
    EXPECT_EQ(reports->count(cancelled), 0u);
    // First seen with content, then withdrawn complete: reported twice.
    EXPECT_EQ(reports->count(finished), 2u);
}

TEST_F(DirectoryWatcherTest, AFolderThatCannotBeListedIsLoggedAndWatchingGoesOn)
{
    log::LogCapture capture;
    startWatching();
    auto moved = root / "Moved away";
    fs::rename(folder, moved);
    write(moved / "Example.dmg", "image"); // the watch follows the folder, the listing does not

    auto expected = "Failed to get contents of " + folder.string() + " directory: "
        + FileError::fromErrno(ENOENT, folder, false)->description();
    for (int waited = 0; waited < 1000 && !capture.contains(log::Level::error, expected); ++waited)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(capture.contains(log::Level::error, expected));

    fs::rename(moved, folder);
    moveIn("Later.dmg", "image");
    EXPECT_TRUE(reports->waitFor(folder / "Later.dmg"));
    EXPECT_TRUE(reports->waitFor(folder / "Example.dmg"));
}

// Files come and go and progresses are published and withdrawn while the
// watcher is released: once it is gone, its listener is never called again,
// and it leaves nothing registered with the progress service.
TEST_F(DirectoryWatcherTest, AReleasedWatcherNeverCallsBack)
{
    for (int i = 0; i < 50; ++i)
        write(folder / ("existing-" + std::to_string(i)), "x");

    std::atomic<bool> gone {false};
    std::atomic<int> callsAfterRelease {0};
    std::atomic<int> calls {0};
    auto made = DirectoryWatcher::create(
        URL::fileURL(folder, true), queue,
        log::Logger("app.tavik.Tavik", "Directory Watcher"), [&](const URL&) {
            ++calls;
            if (gone)
                ++callsAfterRelease;
        },
        service);
    ASSERT_TRUE(made.ok());
    watcher = std::move(made).value();
    std::weak_ptr<DirectoryWatcher> weakWatcher = watcher;

    // Each churning thread takes short breaks so the machine keeps up.
    auto pause = [] { std::this_thread::sleep_for(200us); };
    std::atomic<bool> stop {false};
    std::vector<std::thread> churn;
    churn.emplace_back([&] {
        for (int i = 0; !stop; ++i) {
            auto name = "moved-" + std::to_string(i % 40);
            write(staging / name, "x");
            fs::rename(staging / name, folder / name);
            std::error_code ignored;
            fs::remove(folder / ("moved-" + std::to_string((i + 20) % 40)), ignored);
            write(folder / ("written-" + std::to_string(i % 40)), "content");
            pause();
        }
    });
    churn.emplace_back([&] {
        for (int i = 0; !stop; ++i) {
            auto progress = std::make_shared<Progress>(1);
            auto publication = service->publish(URL::fileURL(folder / ("existing-" + std::to_string(i % 50)), false), progress);
            progress->setCompletedUnitCount(1);
            service->unpublish(publication);
            pause();
        }
    });

    for (int waited = 0; waited < 1000 && calls < 100; ++waited)
        std::this_thread::sleep_for(5ms);
    watcher.reset();
    // The watcher may still be finishing a scan or a handler on another thread;
    // it is gone once the last of those lets go of it. Under the churn, and
    // slowed down by ThreadSanitizer, that can take a few seconds.
    for (int waited = 0; waited < 6000 && !weakWatcher.expired(); ++waited)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(weakWatcher.expired());
    gone = true;

    std::this_thread::sleep_for(200ms); // let the churn go on without the watcher
    stop = true;
    for (auto& thread : churn)
        thread.join();
    queue->sync([] {});

    EXPECT_GT(calls.load(), 0);
    EXPECT_EQ(callsAfterRelease.load(), 0);
    EXPECT_EQ(service->subscriberCount(), 0u);
    EXPECT_EQ(service->publicationCount(), 0u);
}

TEST(LauncherEntryKeeperTest, AnAppImageRemovedFromAWatchedDestinationTakesItsEntryAlong)
{
    std::string pattern = (fs::temp_directory_path() / "tavik-keeper-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path root(pattern);
    fs::create_directories(root / "Applications");
    fs::create_directories(root / "data/applications");
    AppImageInstallation installation(root / "data");
    auto writeEntry = [&](const std::string& name) {
        std::ofstream(root / "Applications" / name) << "AppImage";
        std::ofstream(installation.entryPath(root / "Applications" / name))
            << "[Desktop Entry]\nExec=x\nX-Tavik-AppImage=" << (root / "Applications" / name).string() << "\n";
    };
    writeEntry("Moved.AppImage");
    writeEntry("Deleted.AppImage");
    writeEntry("Kept.AppImage");

    auto keeper = LauncherEntryKeeper::make(installation, log::Logger("app.tavik.Tavik", "Launcher Entries"));
    keeper->watch({root / "Applications"});
    std::promise<std::size_t> firstSweep;
    keeper->removeStaleEntries([&](std::size_t count) { firstSweep.set_value(count); });
    EXPECT_EQ(firstSweep.get_future().get(), 0u);

    auto gone = [&](const std::string& name) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (fs::exists(installation.entryPath(root / "Applications" / name))) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    };
    fs::rename(root / "Applications/Moved.AppImage", root / "Moved.AppImage");
    EXPECT_TRUE(gone("Moved.AppImage"));
    fs::remove(root / "Applications/Deleted.AppImage");
    EXPECT_TRUE(gone("Deleted.AppImage"));
    EXPECT_TRUE(fs::exists(installation.entryPath(root / "Applications/Kept.AppImage")));
    keeper.reset();
    fs::remove_all(root);
}

// Two entries lead to one file: it is known, and reported, once; it goes
// only when the last entry that leads to it goes.
TEST_F(DirectoryWatcherTest, AFileReachedThroughALinkInTheFolderGoesWithItsLastEntry)
{
    log::LogCapture capture;
    startWatching();
    auto real = moveIn("Real.dmg", "image");
    ASSERT_TRUE(reports->waitFor(real));
    fs::create_symlink(real, folder / "Link.dmg");
    settle();
    auto removedMessage = "File at " + real.string() + " was removed";

    fs::remove(folder / "Link.dmg");
    settle();
    EXPECT_FALSE(capture.contains(log::Level::debug, removedMessage));
    EXPECT_EQ(reports->count(real), 1u);
    EXPECT_EQ(service->subscriberCount(), 1u + markersSeen());

    // The link goes on leading to the file only while the file is there.
    fs::create_symlink(real, folder / "Link.dmg");
    settle();
    fs::remove(real);
    settle();
    EXPECT_TRUE(capture.contains(log::Level::debug, removedMessage));
    EXPECT_EQ(reports->count(real), 1u);
}

// When the kernel's queue overflows, the events of the changes are lost:
// the folder is listed again, so that a file moved in is still reported and
// a file removed is still forgotten.
TEST_F(DirectoryWatcherTest, ChangesLostInAQueueOverflowAreFoundByListingAgain)
{
    log::LogCapture capture;
    auto known = moveIn("Known.dmg", "image");
    startWatching();
    ASSERT_TRUE(reports->waitFor(known));

    std::promise<void> release;
    queue->async([waiting = release.get_future().share()] { waiting.wait(); });
    fs::remove(known);
    auto arrived = moveIn("Arrived.dmg", "image");
    // Each round queues a creation, a close and a removal.
    for (int round = 0; round < 6000; ++round) {
        write(folder / ".churn", "x");
        fs::remove(folder / ".churn");
    }
    release.set_value();

    ASSERT_TRUE(reports->waitFor(arrived));
    queue->sync([] {});
    EXPECT_TRUE(capture.contains(log::Level::error, "Missed changes in " + folder.string() + " directory; listing it again"));
    EXPECT_TRUE(capture.contains(log::Level::debug, "File at " + known.string() + " was removed"));
    EXPECT_EQ(reports->count(arrived), 1u);
}
