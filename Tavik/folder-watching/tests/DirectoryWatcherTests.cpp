#include "Tavik/folder-watching/DirectoryWatcher.hpp"
#include "Tavik/folder-watching/LauncherEntryKeeper.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/Programs.hpp"
#include "platform/testing/Recorder.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tavik;
using namespace tavik::testing;
using namespace std::chrono_literals;
using progress::FileProgressService;
using progress::Progress;
namespace fs = std::filesystem;

namespace {

// A real folder to watch, a staging folder on the same file system to move
// files in from, and the watcher with its queue.
class WatchedFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directory(folder);
        fs::create_directory(staging);
    }

    Result<std::shared_ptr<DirectoryWatcher>> makeWatcher(DirectoryWatcher::FileFoundListener listener = {}, const fs::path& watched = {})
    {
        if (!listener)
            listener = [reports = reports](const URL& url) { reports->add(url.path()); };
        return DirectoryWatcher::create(URL::fileURL(watched.empty() ? folder : watched, true), queue,
            log::Logger("app.tavik.Tavik", "Directory Watcher"), std::move(listener), service);
    }
    void startWatching(DirectoryWatcher::FileFoundListener listener = {})
    {
        auto made = makeWatcher(std::move(listener));
        ASSERT_TRUE(made.ok()) << made.error()->description();
        watcher = std::move(made).value();
    }

    // Writes the file elsewhere and renames it into the folder, as a browser
    // finishes a download.
    fs::path moveIn(const std::string& name, const std::string& content)
    {
        writeFile(staging / name, content);
        fs::rename(staging / name, folder / name);
        return folder / name;
    }

    // Returns once every change made to the folder before the call has been
    // scanned: a marker moved in after them is reported by the scan that
    // follows them, and that scan is finished once the queue is free. Each
    // marker stays in the folder.
    void settle()
    {
        auto marker = moveIn(".marker-" + std::to_string(++markers), "marker");
        ASSERT_TRUE(reports->waitUntilCounted(marker)) << "the watcher did not scan";
        queue->sync([] {});
    }

    ScratchFolder scratch {"tavik-watch"};
    fs::path root = scratch.path();
    fs::path folder = root / "Downloads";
    fs::path staging = root / "staging";
    // Each test has a service of its own; it outlives the watcher.
    std::shared_ptr<progress::FileProgressService> service = std::make_shared<progress::FileProgressService>();
    dispatch::QueuePtr queue = dispatch::DispatchQueue::makeSerial("Directory Watcher (test)");
    std::shared_ptr<Recorder<fs::path>> reports = std::make_shared<Recorder<fs::path>>();
    std::shared_ptr<DirectoryWatcher> watcher; // released first
    size_t markers = 0;
};

} // namespace

using DirectoryWatcherTest = WatchedFolder;


TEST_F(DirectoryWatcherTest, AFolderThatCannotBeWatchedFailsWithItsReason)
{
    writeFile(root / "not-a-folder", "x");
    const std::tuple<fs::path, DirectoryWatcherError::Case, std::string> cases[] = {
        {root / "missing", DirectoryWatcherError::Case::directoryOpenFailed, std::strerror(ENOENT)},
        {root / "not-a-folder", DirectoryWatcherError::Case::directoryOpenFailed, std::strerror(ENOTDIR)},
        {std::string("/tmp/bad\0name", 13), DirectoryWatcherError::Case::directoryURLInvalid, ""},
    };
    for (const auto& [path, errorCase, description] : cases) {
        SCOPED_TRACE(path);
        auto made = makeWatcher([](const URL&) { ADD_FAILURE() << "no watcher, no reports"; }, path);
        auto error = made.ok() ? nullptr : std::dynamic_pointer_cast<const DirectoryWatcherError>(made.error());
        ASSERT_TRUE(error);
        EXPECT_EQ(error->errorCase(), errorCase);
        if (description.empty())
            EXPECT_EQ(error->url(), URL::fileURL(path, true));
        else
            EXPECT_EQ(error->description(), description);
    }
}

// The first listing reports files with content (hidden ones too) on the
// creating thread; later files are reported once each, on the watcher's
// queue. A renamed file is a new file, and so is one replaced under its name.
TEST_F(DirectoryWatcherTest, FilesWithContentAreReportedOnceAndRenamedOrReplacedOnesAgain)
{
    log::LogCapture capture;
    writeFile(folder / "Example.dmg", "image");
    writeFile(folder / ".hidden.zip", "archive");
    writeFile(folder / "empty.pkg", "");
    std::atomic<int> offQueue {0};
    startWatching([&](const URL& url) {
        offQueue += !queue->isCurrent();
        reports->add(url.path());
    });
    EXPECT_EQ(reports->count(folder / ".hidden.zip") + reports->count(folder / "Example.dmg"), 2u);
    EXPECT_EQ(offQueue, 2) << "reported while being created, on the creating thread";

    auto moved = moveIn("Moved.dmg", "image");
    ASSERT_TRUE(reports->waitUntilCounted(moved));
    auto renamed = folder / "Renamed.dmg";
    fs::rename(moved, renamed);
    ASSERT_TRUE(reports->waitUntilCounted(renamed));
    queue->sync([] {});
    EXPECT_TRUE(capture.contains(log::Level::debug, "File at " + moved.string() + " was removed"));
    // Keep the old file's number in use so that the new one cannot get it.
    int oldFile = ::open(renamed.c_str(), O_RDONLY);
    ASSERT_GE(oldFile, 0);
    fs::remove(renamed);
    moveIn("Renamed.dmg", "another image");
    ASSERT_TRUE(reports->waitUntilCounted(renamed, 2));
    ::close(oldFile);
    settle();
    EXPECT_EQ(offQueue, 2) << "later files are reported on the queue";
    EXPECT_EQ(reports->count(moved), 1u);
    EXPECT_EQ(reports->count(renamed), 2u);
    EXPECT_EQ(reports->count(folder / "Example.dmg"), 1u);
    EXPECT_EQ(reports->count(folder / "empty.pkg"), 0u);
}

// A file is known by its resolved URL: a link to a file elsewhere reports
// that file (also when the link has the file's name, which was once taken
// for a file being written in place and never reported); two entries that
// lead to one file report it once, and it goes only with the last entry that
// leads to it.
TEST_F(DirectoryWatcherTest, FilesAreKnownByTheirResolvedURLAndGoWithTheirLastEntry)
{
    log::LogCapture capture;
    writeFile(root / "elsewhere/Outside.dmg", "image");
    startWatching();
    fs::create_symlink(root / "elsewhere/Outside.dmg", folder / "Outside.dmg");
    ASSERT_TRUE(reports->waitUntilCounted(root / "elsewhere/Outside.dmg"));
    auto real = moveIn("Real.dmg", "image");
    ASSERT_TRUE(reports->waitUntilCounted(real));
    fs::create_symlink(real, folder / "Link.dmg");
    settle();
    EXPECT_EQ(reports->count(root / "elsewhere/Outside.dmg"), 1u);
    EXPECT_EQ(reports->count(folder / "Outside.dmg"), 0u);
    auto removedMessage = "File at " + real.string() + " was removed";

    fs::remove(folder / "Link.dmg");
    settle();
    EXPECT_FALSE(capture.contains(log::Level::debug, removedMessage));
    EXPECT_EQ(service->subscriberCount(), 2u + markers);

    // The link goes on leading to the file only while the file is there.
    fs::create_symlink(real, folder / "Link.dmg");
    settle();
    fs::remove(real);
    settle();
    EXPECT_TRUE(capture.contains(log::Level::debug, removedMessage));
    EXPECT_EQ(reports->count(real), 1u);
}

// A browser's download lands empty and is filled while its progress is
// published: it is reported once the progress is withdrawn complete.
TEST_F(DirectoryWatcherTest, APublishedProgressReportsTheFileWhenWithdrawnComplete)
{
    startWatching();
    auto download = moveIn("Download.dmg", "");
    auto cancelled = moveIn("Cancelled.dmg", "");
    auto finished = moveIn("Finished.dmg", "image");
    settle();
    EXPECT_EQ(reports->count(download), 0u);

    std::atomic<int> withdrawn {0};
    std::vector<FileProgressService::SubscriberToken> observers;
    for (auto [file, total, completed] : std::vector<std::tuple<fs::path, int, int>> {{download, 200, 200}, {cancelled, 200, 199}, {finished, 1, 1}}) {
        // Subscribed after the watcher: once this hears of the withdrawal,
        // the watcher's own handler has run.
        observers.push_back(service->addSubscriber(URL::fileURL(file, false), [&](const auto&) { return FileProgressService::UnpublishingHandler([&] { ++withdrawn; }); }));
        auto progress = std::make_shared<Progress>(total);
        auto publication = service->publish(URL::fileURL(file, false), progress);
        if (file == download)
            writeFile(download, "image");
        progress->setCompletedUnitCount(completed);
        service->unpublish(publication);
    }
    ASSERT_TRUE(eventually([&] { return withdrawn == 3; }));
    for (auto& token : observers)
        service->removeSubscriber(token);
    EXPECT_EQ(reports->count(download), 1u);
    EXPECT_EQ(reports->count(cancelled), 0u);
    EXPECT_EQ(reports->count(finished), 2u) << "first seen with content, then withdrawn complete";
}

TEST_F(DirectoryWatcherTest, AFolderThatCannotBeListedIsLoggedAndWatchingGoesOn)
{
    log::LogCapture capture;
    startWatching();
    auto moved = root / "Moved away";
    fs::rename(folder, moved);
    writeFile(moved / "Example.dmg", "image"); // the watch follows the folder, the listing does not
    EXPECT_TRUE(eventually([&] { return capture.contains(log::Level::error, "Failed to get contents of " + folder.string() + " directory: " + FileError::fromErrno(ENOENT, folder, false)->description()); }));

    fs::rename(moved, folder);
    moveIn("Later.dmg", "image");
    EXPECT_TRUE(reports->waitUntilCounted(folder / "Later.dmg"));
    EXPECT_TRUE(reports->waitUntilCounted(folder / "Example.dmg"));
}

// When the kernel's queue overflows, the events of the changes are lost:
// the folder is listed again, so that a file moved in is still reported and
// a file removed is still forgotten.
TEST_F(DirectoryWatcherTest, ChangesLostInAQueueOverflowAreFoundByListingAgain)
{
    log::LogCapture capture;
    auto known = moveIn("Known.dmg", "image");
    startWatching();
    std::promise<void> release;
    queue->async([waiting = release.get_future().share()] { waiting.wait(); });
    fs::remove(known);
    auto arrived = moveIn("Arrived.dmg", "image");
    // Each round queues a creation, a close and a removal.
    for (int round = 0; round < 6000; ++round) {
        writeFile(folder / ".churn", "x");
        fs::remove(folder / ".churn");
    }
    release.set_value();

    ASSERT_TRUE(reports->waitUntilCounted(arrived));
    queue->sync([] {});
    EXPECT_TRUE(capture.contains(log::Level::error, "Missed changes in " + folder.string() + " directory; listing it again"));
    EXPECT_TRUE(capture.contains(log::Level::debug, "File at " + known.string() + " was removed"));
    EXPECT_EQ(reports->count(arrived), 1u);
}

// Files come and go and progresses are published and withdrawn while the
// watcher is released: once it is gone, its listener is never called again,
// and it leaves nothing registered with the progress service.
TEST_F(DirectoryWatcherTest, AReleasedWatcherNeverCallsBack)
{
    for (int i = 0; i < 50; ++i)
        writeFile(folder / ("existing-" + std::to_string(i)), "x");
    std::atomic<bool> gone {false};
    std::atomic<int> callsAfterRelease {0}, calls {0};
    startWatching([&](const URL&) {
        ++calls;
        callsAfterRelease += gone;
    });
    std::weak_ptr<DirectoryWatcher> weakWatcher = watcher;

    // Each churning thread takes short breaks so the machine keeps up.
    std::atomic<bool> stop {false};
    std::thread files([&] {
        for (int i = 0; !stop; ++i, std::this_thread::sleep_for(200us)) {
            moveIn("moved-" + std::to_string(i % 40), "x");
            std::error_code ignored;
            fs::remove(folder / ("moved-" + std::to_string((i + 20) % 40)), ignored);
            writeFile(folder / ("written-" + std::to_string(i % 40)), "content");
        }
    });
    std::thread progresses([&] {
        for (int i = 0; !stop; ++i, std::this_thread::sleep_for(200us)) {
            auto progress = std::make_shared<Progress>(1);
            auto publication = service->publish(URL::fileURL(folder / ("existing-" + std::to_string(i % 50)), false), progress);
            progress->setCompletedUnitCount(1);
            service->unpublish(publication);
        }
    });

    eventually([&] { return calls >= 100; }, 5s);
    watcher.reset();
    // The watcher may still be finishing a scan or a handler on another
    // thread; it is gone once the last of those lets go of it.
    ASSERT_TRUE(eventually([&] { return weakWatcher.expired(); }));
    gone = true;
    std::this_thread::sleep_for(200ms); // let the churn go on without the watcher
    stop = true;
    files.join();
    progresses.join();
    queue->sync([] {});
    EXPECT_GT(calls.load(), 0);
    EXPECT_EQ(callsAfterRelease.load(), 0);
    EXPECT_EQ(service->subscriberCount(), 0u);
    EXPECT_EQ(service->publicationCount(), 0u);
}

TEST(LauncherEntryKeeperTest, AnAppImageRemovedFromAWatchedDestinationTakesItsEntryAlong)
{
    ScratchFolder root("tavik-keeper");
    fs::create_directories(root / "data/applications");
    AppImageInstallation installation(root / "data");
    auto entry = [&](const std::string& name) { return installation.entryPath(root / "Applications" / name); };
    for (auto name : {"Moved.AppImage", "Deleted.AppImage", "Kept.AppImage"}) {
        writeFile(root / "Applications" / name, "AppImage");
        writeFile(entry(name), "[Desktop Entry]\nExec=x\nX-Tavik-AppImage=" + (root / "Applications" / name).string() + "\n");
    }
    auto keeper = LauncherEntryKeeper::make(installation, log::Logger("app.tavik.Tavik", "Launcher Entries"));
    keeper->watch({root / "Applications"});
    std::promise<std::size_t> firstSweep;
    keeper->removeStaleEntries([&](std::size_t count) { firstSweep.set_value(count); });
    EXPECT_EQ(firstSweep.get_future().get(), 0u);

    fs::rename(root / "Applications/Moved.AppImage", root / "Moved.AppImage");
    EXPECT_TRUE(eventually([&] { return !fs::exists(entry("Moved.AppImage")); }));
    fs::remove(root / "Applications/Deleted.AppImage");
    EXPECT_TRUE(eventually([&] { return !fs::exists(entry("Deleted.AppImage")); }));
    EXPECT_TRUE(fs::exists(entry("Kept.AppImage")));
}

// Files created in the folder and written where they are, as wget, curl -O
// and cp write them: reported once their writer closes them, not before.
using WrittenInPlaceTest = WatchedFolder;

TEST_F(WrittenInPlaceTest, AFileWrittenSlowlyByDdIsReportedOnceAfterDdExits)
{
    startWatching();
    auto path = folder / "Example.dmg";
    FILE* dd = ::popen(("exec dd of='" + path.string() + "' bs=4096 iflag=fullblock status=none").c_str(), "w");
    ASSERT_NE(dd, nullptr);
    // dd writes each block as it arrives and waits for the next one meanwhile.
    std::string block(4096, 'd');
    for (uintmax_t blocks = 1; blocks <= 3; ++blocks) {
        ASSERT_EQ(std::fwrite(block.data(), 1, block.size(), dd), block.size());
        ASSERT_EQ(std::fflush(dd), 0);
        ASSERT_TRUE(eventually([&] { std::error_code error; return fs::file_size(path, error) >= blocks * block.size() && !error; }));
        settle();
        EXPECT_EQ(reports->count(path), 0u) << "reported while dd was still writing";
    }
    int status = ::pclose(dd);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(reports->waitUntilCounted(path));
    settle();
    EXPECT_EQ(reports->count(path), 1u);
}

TEST_F(WrittenInPlaceTest, AFileIsReportedOnceClosedWithContentAndNotWhenDeletedOrReplacedBeforeItsClose)
{
    startWatching();
    auto placeholder = folder / "Placeholder.pkg";
    writeFile(placeholder, "");
    auto deleted = folder / "Cancelled.dmg", replaced = folder / "Replaced.dmg";
    int deletedFile = ::open(deleted.c_str(), O_CREAT | O_WRONLY, 0644);
    int replacedFile = ::open(replaced.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(deletedFile, 0);
    ASSERT_GE(replacedFile, 0);
    ASSERT_EQ(::write(deletedFile, "partial", 7), 7);
    ASSERT_EQ(::write(replacedFile, "partial", 7), 7);
    settle();
    EXPECT_EQ(reports->count(placeholder), 0u);

    std::ofstream(placeholder, std::ios::app) << "content";
    fs::remove(deleted);
    moveIn("Replaced.dmg", "finished elsewhere"); // the moved-in file is reported by its size
    ASSERT_TRUE(reports->waitUntilCounted(replaced));
    ASSERT_TRUE(reports->waitUntilCounted(placeholder));
    ::close(deletedFile);
    ::close(replacedFile); // the old file, now without a name in the folder

    // A copy is written in place; a new name for a finished file is not being written.
    writeFile(staging / "Source.zip", std::string(100000, 'z'));
    ASSERT_EQ(run({"cp", (staging / "Source.zip").string(), (folder / "Copy.zip").string()}), 0);
    fs::create_hard_link(staging / "Source.zip", folder / "Linked.zip");
    ASSERT_TRUE(reports->waitUntilCounted(folder / "Copy.zip"));
    ASSERT_TRUE(reports->waitUntilCounted(folder / "Linked.zip"));
    settle();
    EXPECT_EQ(reports->count(placeholder), 1u);
    EXPECT_EQ(reports->count(deleted), 0u);
    EXPECT_EQ(reports->count(replaced), 1u);
    EXPECT_EQ(reports->count(folder / "Copy.zip"), 1u);
    EXPECT_EQ(reports->count(folder / "Linked.zip"), 1u);
}
