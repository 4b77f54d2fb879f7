#include "platform/foundation/FileDescriptor.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/FileWriting.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavik;
namespace fs = std::filesystem;

namespace {

class FileWritingTest : public ::testing::Test {
protected:
    static std::string read(const fs::path& path)
    {
        std::ifstream stream(path, std::ios::binary);
        std::stringstream content;
        content << stream.rdbuf();
        return content.str();
    }
    static bool isOpen(int descriptor) { return ::fcntl(descriptor, F_GETFD) != -1; }

    tavik::testing::ScratchFolder scratch_ {"tavik-writing"};
    const fs::path& folder_ = scratch_.path();
};

TEST_F(FileWritingTest, DescriptorIsClosedOnceByWhicheverOwnerHoldsItLast)
{
    int raw = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(raw, 0);
    {
        FileDescriptor first(raw);
        FileDescriptor second(std::move(first));
        EXPECT_FALSE(first.valid());
        EXPECT_EQ(second.get(), raw);
        FileDescriptor third;
        third = std::move(second);
        EXPECT_TRUE(isOpen(raw));
    }
    EXPECT_FALSE(isOpen(raw));

    int kept = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    {
        FileDescriptor owner(kept);
        EXPECT_EQ(owner.release(), kept);
    }
    EXPECT_TRUE(isOpen(kept)) << "a released descriptor is the caller's";
    FileDescriptor closing(kept);
    EXPECT_TRUE(closing.close());
    EXPECT_FALSE(closing.valid());
    EXPECT_FALSE(isOpen(kept));

    int replaced = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FileDescriptor holder(replaced);
    holder = FileDescriptor(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_NE(holder.get(), replaced);
    EXPECT_FALSE(isOpen(replaced)) << "assigning closes the previous descriptor";
}

TEST_F(FileWritingTest, ReplaceFileWritesEverythingWithItsModeAndReplacesALinkNotItsTarget)
{
    std::string large(3 * 1024 * 1024 + 17, 'x');
    ASSERT_TRUE(replaceFile(folder_ / "entry", large, 0640));
    EXPECT_EQ(read(folder_ / "entry"), large);
    EXPECT_EQ(fs::status(folder_ / "entry").permissions() & fs::perms::all, fs::perms(0640));

    std::ofstream(folder_ / "target") << "keep me";
    fs::create_symlink(folder_ / "target", folder_ / "link");
    ASSERT_TRUE(replaceFile(folder_ / "link", "new", 0644));
    EXPECT_EQ(read(folder_ / "target"), "keep me");
    EXPECT_FALSE(fs::is_symlink(folder_ / "link"));
    EXPECT_EQ(read(folder_ / "link"), "new");

    // A folder in the way: the rename fails, and no temporary file stays.
    fs::create_directories(folder_ / "taken" / "inside");
    auto refused = replaceFile(folder_ / "taken", "bytes", 0644);
    ASSERT_FALSE(refused);
    EXPECT_NE(dynamic_cast<const FileError*>(refused.error().get()), nullptr);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 4);

    auto missingFolder = replaceFile(folder_ / "absent" / "entry", "bytes", 0644);
    ASSERT_FALSE(missingFolder);
    EXPECT_TRUE(isFileError(missingFolder.error(), FileError::Code::fileNoSuchFile));
}

TEST_F(FileWritingTest, WriteAllReportsAFailedWriteAsAFileErrorAboutThePath)
{
    int readOnly = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FileDescriptor descriptor(readOnly);
    auto written = writeAll(descriptor.get(), "bytes", folder_ / "name");
    ASSERT_FALSE(written);
    auto error = std::dynamic_pointer_cast<const FileError>(written.error());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->path(), folder_ / "name");
    EXPECT_EQ(error->errnoValue(), EBADF);

    EXPECT_TRUE(fsyncFolder(folder_));
    EXPECT_FALSE(fsyncFolder(folder_ / "absent"));
}

TEST_F(FileWritingTest, FileLockKeepsOtherHoldersOutUntilItGoes)
{
    auto lockFile = folder_ / "store.lock";
    FileDescriptor other(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(other.valid());
    {
        auto lock = FileLock::acquire(lockFile);
        ASSERT_TRUE(lock);
        EXPECT_NE(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
        EXPECT_EQ(errno, EWOULDBLOCK);
        auto moved = std::move(*lock);
        EXPECT_NE(::flock(other.get(), LOCK_EX | LOCK_NB), 0) << "the lock moves, it is not dropped";
    }
    EXPECT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
    ::flock(other.get(), LOCK_UN);
    EXPECT_EQ(fs::status(lockFile).permissions() & fs::perms::all, fs::perms(0600));

    EXPECT_FALSE(FileLock::acquire(folder_ / "absent" / "store.lock"));
    fs::create_symlink(folder_ / "elsewhere.lock", folder_ / "linked.lock");
    EXPECT_FALSE(FileLock::acquire(folder_ / "linked.lock"));
    EXPECT_FALSE(fs::exists(folder_ / "elsewhere.lock")) << "nothing is created through a link";
}

} // namespace
