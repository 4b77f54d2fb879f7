#include "platform/foundation/CodedError.hpp"
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

// A second owner, some of whose codes have the same numbers as FileError's.
class SampleError final : public CodedError<SampleError> {
public:
    enum class Code {
        exists = 516,
        other = 4
    };

    SampleError(Code code, std::string detail)
        : code_(code)
        , detail_(std::move(detail))
    {
    }

    Code errorCode() const { return code_; }
    const std::string& detail() const { return detail_; }
    std::string description() const override { return detail_; }
    std::string domain() const override { return "Sample"; }

private:
    Code code_;
    std::string detail_;
};

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

TEST(CodedErrorTest, MakeKeepsThePayloadAndIsTellsOwnersAndCodesApart)
{
    auto sample = SampleError::make(SampleError::Code::exists, "detail");
    auto file = FileError::make(FileError::Code::fileWriteFileExists, "/x");
    EXPECT_EQ(sample->code(), 516);
    EXPECT_EQ(std::dynamic_pointer_cast<const SampleError>(sample)->detail(), "detail");

    EXPECT_TRUE(SampleError::is(sample, SampleError::Code::exists));
    EXPECT_FALSE(SampleError::is(sample, SampleError::Code::other));
    EXPECT_FALSE(SampleError::is(file, SampleError::Code::exists)) << "the same number from another owner";
    EXPECT_FALSE(SampleError::is(nullptr, SampleError::Code::exists));
}
