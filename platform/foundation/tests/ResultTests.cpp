#include "platform/foundation/FileError.hpp"
#include "platform/foundation/Result.hpp"

#include <gtest/gtest.h>

#include <cerrno>

using namespace tavik;

namespace {

Result<int> parsePositive(int value)
{
    if (value <= 0)
        return GenericError::make("Test", 1, "not positive");
    return value;
}

Result<int> doubled(int value)
{
    int parsed = TAVIK_TRY(parsePositive(value));
    return parsed * 2;
}

Result<void> checkAll(std::initializer_list<int> values)
{
    for (int value : values)
        TAVIK_TRY_VOID(parsePositive(value));
    return Result<void>::success();
}

} // namespace

TEST(ResultTest, TryYieldsTheValueOrPassesTheSameErrorOn)
{
    auto good = doubled(21);
    ASSERT_TRUE(good);
    EXPECT_EQ(*good, 42);

    auto bad = doubled(-1);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error()->description(), "not positive");
    EXPECT_EQ(bad.error()->domain(), "Test");

    EXPECT_TRUE(checkAll({1, 2}));
    EXPECT_FALSE(checkAll({1, 0, 2}));
}

TEST(ResultTest, AFailureKeepsTheErrorObject)
{
    ErrorPtr error = GenericError::make("Test", 2, "x");
    Result<std::string> result(error);
    EXPECT_EQ(result.error().get(), error.get());
}

TEST(FileErrorTest, ErrnoMapsToTheFileErrorCodes)
{
    EXPECT_TRUE(isFileError(FileError::fromErrno(EEXIST, "/x", true), FileError::Code::fileWriteFileExists));
    EXPECT_TRUE(isFileError(FileError::fromErrno(ENOENT, "/x", true), FileError::Code::fileNoSuchFile));
    EXPECT_TRUE(isFileError(FileError::fromErrno(ENOENT, "/x", false), FileError::Code::fileReadNoSuchFile));
    EXPECT_TRUE(isFileError(FileError::fromErrno(EACCES, "/x", true), FileError::Code::fileWriteNoPermission));
    auto error = FileError::make(FileError::Code::fileWriteFileExists, "/tmp/App.app");
    EXPECT_EQ(error->code(), 516);
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_NE(error->description().find("App.app"), std::string::npos);
}
