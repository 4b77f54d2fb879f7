#include "platform/foundation/TemporaryDirectory.hpp"
#include "platform/foundation/FileError.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavik;
namespace fs = std::filesystem;

namespace {

class TemporaryDirectoryTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tavik-tmpdir-XXXXXX").string();
        base_ = mkdtemp(pattern.data());
        if (const char* old = std::getenv("TMPDIR"))
            oldTmpdir_ = old;
        setenv("TMPDIR", base_.c_str(), 1);
        expected_ = base_ / ("tavik-" + std::to_string(geteuid()));
    }
    void TearDown() override
    {
        if (oldTmpdir_)
            setenv("TMPDIR", oldTmpdir_->c_str(), 1);
        else
            unsetenv("TMPDIR");
        fs::remove_all(base_);
    }

    static mode_t modeOf(const fs::path& path)
    {
        struct stat status {};
        EXPECT_EQ(lstat(path.c_str(), &status), 0);
        return status.st_mode & 07777;
    }

    fs::path base_;
    fs::path expected_;
    std::optional<std::string> oldTmpdir_;
};

} // namespace

TEST_F(TemporaryDirectoryTest, CreatedPrivateUnderTMPDIRAndReused)
{
    auto first = temporaryDirectory();
    ASSERT_TRUE(first.ok()) << first.error()->description();
    EXPECT_EQ(first->path(), expected_);
    EXPECT_TRUE(first->hasDirectoryPath());
    EXPECT_EQ(modeOf(expected_), 0700u);

    std::ofstream(expected_ / "kept") << "x";
    chmod(expected_.c_str(), 0755);
    auto second = temporaryDirectory();
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(*second, *first);
    EXPECT_TRUE(fs::exists(expected_ / "kept"));
    EXPECT_EQ(modeOf(expected_), 0700u) << "a loosened folder is narrowed again";
}

TEST_F(TemporaryDirectoryTest, RelativeTMPDIRFallsBackToTmp)
{
    setenv("TMPDIR", "relative/dir", 1);
    auto url = temporaryDirectory();
    ASSERT_TRUE(url.ok());
    EXPECT_EQ(url->path(), fs::path("/tmp") / ("tavik-" + std::to_string(geteuid())));
}

TEST_F(TemporaryDirectoryTest, RefusesASymbolicLinkAFileOrAFolderOfAnotherUser)
{
    fs::create_directory(base_ / "elsewhere");
    chmod((base_ / "elsewhere").c_str(), 0755);
    fs::create_directory_symlink(base_ / "elsewhere", expected_);
    auto linked = temporaryDirectory();
    ASSERT_FALSE(linked.ok());
    EXPECT_EQ(modeOf(base_ / "elsewhere"), 0755u) << "nothing is changed through the link";
    fs::remove(expected_);

    std::ofstream(expected_) << "not a folder";
    auto file = temporaryDirectory();
    ASSERT_FALSE(file.ok());
    EXPECT_TRUE(isFileError(file.error(), FileError::Code::fileWriteFileExists));
    fs::remove(expected_);

    if (geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs root";
    fs::create_directory(expected_);
    chmod(expected_.c_str(), 0700);
    ASSERT_EQ(chown(expected_.c_str(), 65534, 65534), 0);
    auto foreign = temporaryDirectory();
    ASSERT_FALSE(foreign.ok());
    EXPECT_TRUE(isFileError(foreign.error(), FileError::Code::fileWriteNoPermission));
}
