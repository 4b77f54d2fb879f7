#include "platform/foundation/TemporaryDirectory.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace tavik;
using namespace tavik::testing;
namespace fs = std::filesystem;

namespace {

class TemporaryDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override { environment_.set("TMPDIR", base_.path()); }

    ScratchFolder base_ {"tavik-tmpdir"};
    ScopedEnvironment environment_;
    const fs::path expected_ = base_ / ("tavik-" + std::to_string(geteuid()));
};

} // namespace

TEST_F(TemporaryDirectoryTest, MadePrivateUnderAnAbsoluteTMPDIRAndReusedNarrowedAgain)
{
    auto first = temporaryDirectory();
    ASSERT_TRUE(first.ok()) << first.error()->description();
    EXPECT_EQ(*first, URL::fileURL(expected_, true));
    EXPECT_EQ(modeOf(expected_), 0700u);

    writeFile(expected_ / "kept", "x");
    chmod(expected_.c_str(), 0755);
    EXPECT_EQ(temporaryDirectory().value(), *first);
    EXPECT_TRUE(fs::exists(expected_ / "kept"));
    EXPECT_EQ(modeOf(expected_), 0700u) << "a loosened folder is narrowed again";

    environment_.set("TMPDIR", "relative/dir");
    EXPECT_EQ(temporaryDirectory()->path(), fs::path("/tmp") / ("tavik-" + std::to_string(geteuid())));
}

TEST_F(TemporaryDirectoryTest, RefusesASymbolicLinkAFileOrAFolderOfAnotherUser)
{
    fs::create_directory(base_ / "elsewhere");
    chmod((base_ / "elsewhere").c_str(), 0755);
    fs::create_directory_symlink(base_ / "elsewhere", expected_);
    EXPECT_FALSE(temporaryDirectory().ok());
    EXPECT_EQ(modeOf(base_ / "elsewhere"), 0755u) << "nothing is changed through the link";
    fs::remove(expected_);

    writeFile(expected_, "not a folder");
    EXPECT_TRUE(isFileError(temporaryDirectory().error(), FileError::Code::fileWriteFileExists));
    fs::remove(expected_);

    if (geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs root";
    fs::create_directory(expected_);
    chmod(expected_.c_str(), 0700);
    ASSERT_EQ(chown(expected_.c_str(), 65534, 65534), 0);
    EXPECT_TRUE(isFileError(temporaryDirectory().error(), FileError::Code::fileWriteNoPermission));
}
