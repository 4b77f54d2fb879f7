#include "platform/foundation/CodedError.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/Result.hpp"

#include <gtest/gtest.h>

using namespace tavik;

namespace {

ErrorPtr notPositive = GenericError::make("Test", 1, "not positive");

Result<int> parsePositive(int value) { return value > 0 ? Result<int>(value) : Result<int>(notPositive); }
Result<int> doubled(int value) { return TAVIK_TRY(parsePositive(value)) * 2; }

Result<void> checkAll(std::initializer_list<int> values)
{
    for (int value : values)
        TAVIK_TRY_VOID(parsePositive(value));
    return Result<void>::success();
}

// A second owner, one of whose codes has the same number as one of FileError's.
enum class SampleCode {
    exists = 516,
    other = 4
};

class SampleError final : public DetailedCodedError<SampleError, SampleCode> {
public:
    using DetailedCodedError::DetailedCodedError;
    std::string description() const override { return detail(); }
    std::string domain() const override { return "Sample"; }
};

} // namespace

TEST(ResultTest, TryYieldsTheValueOrPassesTheSameErrorObjectOn)
{
    EXPECT_EQ(doubled(21).value(), 42);
    EXPECT_EQ(doubled(-1).error().get(), notPositive.get());
    EXPECT_TRUE(checkAll({1, 2}));
    EXPECT_EQ(checkAll({1, 0, 2}).error().get(), notPositive.get());
}

// An existing item is code 516 of the Cocoa domain, as stored and shown
// errors compare with. (Which errno gives which code shows in the outcomes of
// the file operations' tests.)
TEST(CodedErrorTest, MakeKeepsThePayloadAndIsTellsOwnersAndCodesApart)
{
    auto exists = FileError::make(FileError::Code::fileWriteFileExists, "/tmp/App.app");
    EXPECT_EQ(exists->code(), 516);
    EXPECT_EQ(exists->domain(), "NSCocoaErrorDomain");
    EXPECT_NE(exists->description().find("App.app"), std::string::npos);

    auto sample = SampleError::make(SampleError::Code::exists, "detail");
    EXPECT_EQ(sample->code(), 516);
    EXPECT_EQ(std::dynamic_pointer_cast<const SampleError>(sample)->detail(), "detail");
    EXPECT_TRUE(SampleError::is(sample, SampleError::Code::exists));
    EXPECT_FALSE(SampleError::is(sample, SampleError::Code::other));
    EXPECT_FALSE(SampleError::is(exists, SampleError::Code::exists)) << "the same number from another owner";
    EXPECT_FALSE(SampleError::is(nullptr, SampleError::Code::exists));
}
