#include "options/Options.hpp"

#include <gtest/gtest.h>

using namespace tavik::options;

namespace {

// The raw values are what the settings store: every case keeps its own and
// reads back from exactly it.
template <class Option>
void expectStoredValues(const std::vector<std::string>& expected)
{
    std::vector<std::string> values;
    for (auto option : Option::allCases()) {
        values.push_back(option.rawValue());
        auto parsed = Option::fromRawValue(option.rawValue());
        ASSERT_TRUE(parsed) << option.rawValue();
        EXPECT_EQ(*parsed, option);
    }
    EXPECT_EQ(values, expected);
}

} // namespace

TEST(OptionsTest, StoredRawValuesReadBackExactly)
{
    expectStoredValues<FileFoundActionOption>({"alwaysAsk", "searchForApplications", "ignore"});
    expectStoredValues<ApplicationFoundActionOption>({"alwaysAsk", "copyToDestination", "askWhenMultipleFound"});
    expectStoredValues<ApplicationCopiedActionOption>({"alwaysAsk", "openApp", "askWhenMultipleCopied"});
    expectStoredValues<AllApplicationsHandledAction>({"doNothing", "moveToTrash"});

    EXPECT_FALSE(FileFoundActionOption::fromRawValue("Ignore")); // a title is no raw value
    EXPECT_FALSE(FileFoundActionOption::fromRawValue("IGNORE"));
    EXPECT_FALSE(FileFoundActionOption::fromRawValue(""));
    EXPECT_FALSE(ApplicationFoundActionOption::fromRawValue("openApp")); // another option's value
}
