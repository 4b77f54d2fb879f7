#include "Tavik/folder-watching/tests/WatchedFolder.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace tavik;
using namespace tavik::testing;

namespace {

void writeAll(int descriptor, const std::string& bytes)
{
    ASSERT_EQ(::write(descriptor, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

bool waitForSize(const fs::path& path, uintmax_t size)
{
    for (int waited = 0; waited < 1000; ++waited) {
        std::error_code error;
        if (fs::file_size(path, error) >= size && !error)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

} // namespace

// Files created in the folder and written where they are, as wget, curl -O
// and cp write them: reported once their writer closes them, not before.
using WrittenInPlaceTest = WatchedFolder;

TEST_F(WrittenInPlaceTest, AFileWrittenSlowlyByDdIsReportedOnceAfterDdExits)
{
    startWatching();
    auto path = folder / "Example.dmg";
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    std::string output = "of=" + path.string();
    const char* arguments[] = {"dd", output.c_str(), "bs=4096", "iflag=fullblock", "status=none", nullptr};
    pid_t dd = 0;
    ASSERT_EQ(posix_spawnp(&dd, "dd", &actions, nullptr, const_cast<char**>(arguments), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[0]);

    // dd writes each block as it arrives and waits for the next one meanwhile.
    std::string block(4096, 'd');
    for (uintmax_t blocks = 1; blocks <= 3; ++blocks) {
        writeAll(pipeEnds[1], block);
        ASSERT_TRUE(waitForSize(path, blocks * block.size()));
        settle();
        EXPECT_EQ(reports->count(path), 0u) << "reported while dd was still writing";
    }
    ::close(pipeEnds[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(dd, &status, 0), dd);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    ASSERT_TRUE(reports->waitFor(path));
    settle();
    EXPECT_EQ(reports->count(path), 1u);
    EXPECT_EQ(fs::file_size(path), 3 * block.size());
}

TEST_F(WrittenInPlaceTest, AFileClosedEmptyWaitsUntilItIsWritten)
{
    startWatching();
    auto path = folder / "Placeholder.pkg";
    write(path, "");
    settle();
    EXPECT_EQ(reports->count(path), 0u);

    std::ofstream(path, std::ios::app) << "content";
    ASSERT_TRUE(reports->waitFor(path));
    settle();
    EXPECT_EQ(reports->count(path), 1u);
}

TEST_F(WrittenInPlaceTest, AFileDeletedOrReplacedBeforeItIsClosedIsNotReported)
{
    startWatching();
    auto deleted = folder / "Cancelled.dmg";
    int deletedFile = ::open(deleted.c_str(), O_CREAT | O_WRONLY, 0644);
    auto replaced = folder / "Replaced.dmg";
    int replacedFile = ::open(replaced.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(deletedFile, 0);
    ASSERT_GE(replacedFile, 0);
    writeAll(deletedFile, "partial");
    writeAll(replacedFile, "partial");
    settle();

    fs::remove(deleted);
    moveIn("Replaced.dmg", "finished elsewhere"); // the moved-in file is reported by its size
    ASSERT_TRUE(reports->waitFor(replaced));
    ::close(deletedFile);
    ::close(replacedFile); // the old file, now without a name in the folder
    settle();
    EXPECT_EQ(reports->count(deleted), 0u);
    EXPECT_EQ(reports->count(replaced), 1u);
}

TEST_F(WrittenInPlaceTest, CopiesAndHardLinksOfFinishedFiles)
{
    startWatching();
    write(staging / "Source.zip", std::string(100000, 'z'));
    pid_t cp = 0;
    auto source = (staging / "Source.zip").string();
    auto copy = (folder / "Copy.zip").string();
    const char* arguments[] = {"cp", source.c_str(), copy.c_str(), nullptr};
    ASSERT_EQ(posix_spawnp(&cp, "cp", nullptr, nullptr, const_cast<char**>(arguments), environ), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(cp, &status, 0), cp);
    ASSERT_TRUE(reports->waitFor(copy));

    // A new name for a file that is already complete is not being written.
    fs::create_hard_link(staging / "Source.zip", folder / "Linked.zip");
    ASSERT_TRUE(reports->waitFor(folder / "Linked.zip"));
    settle();
    EXPECT_EQ(reports->count(copy), 1u);
    EXPECT_EQ(reports->count(folder / "Linked.zip"), 1u);
}
