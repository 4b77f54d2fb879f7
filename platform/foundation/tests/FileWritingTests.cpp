#include "platform/foundation/FileDescriptor.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/FileWriting.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace tavik;
using namespace tavik::testing;
namespace fs = std::filesystem;

namespace {

class FileWritingTest : public ::testing::Test {
protected:
    int openFolder() const { return ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }
    static bool isOpen(int descriptor) { return ::fcntl(descriptor, F_GETFD) != -1; }

    ScratchFolder scratch_ {"tavik-writing"};
    const fs::path& folder_ = scratch_.path();
};

} // namespace

TEST_F(FileWritingTest, DescriptorIsClosedOnceByWhicheverOwnerHoldsItLast)
{
    int raw = openFolder();
    ASSERT_GE(raw, 0);
    {
        FileDescriptor first(raw);
        FileDescriptor second(std::move(first));
        EXPECT_FALSE(first.valid());
        FileDescriptor third;
        third = std::move(second);
        EXPECT_TRUE(isOpen(raw));
    }
    EXPECT_FALSE(isOpen(raw));

    int kept = openFolder();
    EXPECT_EQ(FileDescriptor(kept).release(), kept);
    EXPECT_TRUE(isOpen(kept)) << "a released descriptor is the caller's";
    FileDescriptor holder(kept);
    holder = FileDescriptor(openFolder());
    EXPECT_FALSE(isOpen(kept)) << "assigning closes the previous descriptor";
    int replacement = holder.get();
    EXPECT_TRUE(holder.close());
    EXPECT_FALSE(holder.valid());
    EXPECT_FALSE(isOpen(replacement));
}

TEST_F(FileWritingTest, ReplaceFileWritesEverythingWithItsModeReplacesALinkNotItsTargetAndFailuresNameThePath)
{
    std::string large(3 * 1024 * 1024 + 17, 'x');
    ASSERT_TRUE(replaceFile(folder_ / "entry", large, 0640));
    EXPECT_EQ(readFile(folder_ / "entry"), large);
    EXPECT_EQ(modeOf(folder_ / "entry"), 0640u);

    writeFile(folder_ / "target", "keep me");
    fs::create_symlink(folder_ / "target", folder_ / "link");
    ASSERT_TRUE(replaceFile(folder_ / "link", "new", 0644));
    EXPECT_EQ(readFile(folder_ / "target"), "keep me");
    EXPECT_FALSE(fs::is_symlink(folder_ / "link"));
    EXPECT_EQ(readFile(folder_ / "link"), "new");

    // A folder in the way: the rename fails, and no temporary file stays.
    fs::create_directories(folder_ / "taken/inside");
    EXPECT_NE(dynamic_cast<const FileError*>(replaceFile(folder_ / "taken", "bytes", 0644).error().get()), nullptr);
    EXPECT_EQ(namesIn(folder_), (std::vector<std::string> {"entry", "link", "taken", "target"}));
    EXPECT_TRUE(isFileError(replaceFile(folder_ / "absent/entry", "bytes", 0644).error(), FileError::Code::fileNoSuchFile));

    // Its parts report failures about the path they were given.
    FileDescriptor readOnly(openFolder());
    auto written = writeAll(readOnly.get(), "bytes", folder_ / "name");
    auto error = std::dynamic_pointer_cast<const FileError>(written ? nullptr : written.error());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->path(), folder_ / "name");
    EXPECT_EQ(error->errnoValue(), EBADF);
    EXPECT_TRUE(fsyncFolder(folder_));
    EXPECT_FALSE(fsyncFolder(folder_ / "absent"));
}

TEST_F(FileWritingTest, FileLockKeepsOtherHoldersOutUntilItGoesAndIsNeverMadeThroughALink)
{
    auto lockFile = folder_ / "store.lock";
    FileDescriptor other(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(other.valid());
    {
        auto lock = FileLock::acquire(lockFile);
        ASSERT_TRUE(lock);
        auto moved = std::move(*lock);
        EXPECT_NE(::flock(other.get(), LOCK_EX | LOCK_NB), 0) << "the lock moves, it is not dropped";
        EXPECT_EQ(errno, EWOULDBLOCK);
    }
    EXPECT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
    ::flock(other.get(), LOCK_UN);
    EXPECT_EQ(modeOf(lockFile), 0600u);

    EXPECT_FALSE(FileLock::acquire(folder_ / "absent/store.lock"));
    fs::create_symlink(folder_ / "elsewhere.lock", folder_ / "linked.lock");
    EXPECT_FALSE(FileLock::acquire(folder_ / "linked.lock"));
    EXPECT_FALSE(fs::exists(folder_ / "elsewhere.lock")) << "nothing is created through a link";
}
