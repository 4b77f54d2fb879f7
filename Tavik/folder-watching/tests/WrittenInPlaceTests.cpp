#include "Tavik/folder-watching/tests/WatchedFolder.hpp"
#include "platform/testing/Programs.hpp"

#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace tavik;
using namespace tavik::testing;

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
        ASSERT_EQ(::write(pipeEnds[1], block.data(), block.size()), ssize_t(block.size()));
        ASSERT_TRUE(eventually([&] { std::error_code error; return fs::file_size(path, error) >= blocks * block.size() && !error; }));
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
}

TEST_F(WrittenInPlaceTest, AFileClosedEmptyWaitsForContentAndOneDeletedOrReplacedBeforeItIsClosedIsNotReported)
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
    ASSERT_TRUE(reports->waitFor(replaced));
    ASSERT_TRUE(reports->waitFor(placeholder));
    ::close(deletedFile);
    ::close(replacedFile); // the old file, now without a name in the folder
    settle();
    EXPECT_EQ(reports->count(placeholder), 1u);
    EXPECT_EQ(reports->count(deleted), 0u);
    EXPECT_EQ(reports->count(replaced), 1u);
}

TEST_F(WrittenInPlaceTest, CopiesAndHardLinksOfFinishedFilesAreReportedOnce)
{
    startWatching();
    writeFile(staging / "Source.zip", std::string(100000, 'z'));
    ASSERT_EQ(run({"cp", (staging / "Source.zip").string(), (folder / "Copy.zip").string()}), 0);
    ASSERT_TRUE(reports->waitFor(folder / "Copy.zip"));
    // A new name for a file that is already complete is not being written.
    fs::create_hard_link(staging / "Source.zip", folder / "Linked.zip");
    ASSERT_TRUE(reports->waitFor(folder / "Linked.zip"));
    settle();
    EXPECT_EQ(reports->count(folder / "Copy.zip"), 1u);
    EXPECT_EQ(reports->count(folder / "Linked.zip"), 1u);
}
