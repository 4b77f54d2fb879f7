#include "options/Options.hpp"

#include <gtest/gtest.h>


using namespace tavik::options;

namespace {

template <class Option>
std::vector<std::string> rawValues()
{
    std::vector<std::string> values;
    for (auto option : Option::allCases())
        values.push_back(option.rawValue());
    return values;
}

template <class Option>
std::vector<std::string> titles()
{
    std::vector<std::string> values;
    for (auto option : Option::allCases())
        values.push_back(option.title());
    return values;
}

template <class Option>
void expectRawValuesRoundTrip()
{
    for (auto option : Option::allCases()) {
        auto parsed = Option::fromRawValue(option.rawValue());
        ASSERT_TRUE(parsed) << option.rawValue();
        EXPECT_EQ(*parsed, option);
    }
}

} // namespace

TEST(OptionsTest, CasesRawValuesAndTitlesInTableOrder)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(rawValues<FileFoundActionOption>(), (V { "alwaysAsk", "searchForApplications", "ignore" }));
    EXPECT_EQ(titles<FileFoundActionOption>(), (V { "Always Ask", "Search for Applications", "Ignore" }));
    EXPECT_EQ(rawValues<ApplicationFoundActionOption>(), (V { "alwaysAsk", "copyToDestination", "askWhenMultipleFound" }));
    EXPECT_EQ(titles<ApplicationFoundActionOption>(),
        (V { "Always Ask", "Copy to Destination", "Copy Unless Multiple Applications Are Found" }));
    EXPECT_EQ(rawValues<ApplicationCopiedActionOption>(), (V { "alwaysAsk", "openApp", "askWhenMultipleCopied" }));
    EXPECT_EQ(titles<ApplicationCopiedActionOption>(),
        (V { "Always Ask", "Open App", "Open Unless Multiple Applications Are Copied" }));
    EXPECT_EQ(rawValues<AllApplicationsHandledAction>(), (V { "doNothing", "moveToTrash" }));
    EXPECT_EQ(titles<AllApplicationsHandledAction>(), (V { "Do Nothing", "Move to Trash" }));

    EXPECT_EQ(FileFoundActionOption::allCases()[1], FileFoundActionOption::searchForApplications);
    EXPECT_EQ(AllApplicationsHandledAction::allCases()[1], AllApplicationsHandledAction::moveToTrash);
}

TEST(OptionsTest, RawValuesMatchExactly)
{
    expectRawValuesRoundTrip<FileFoundActionOption>();
    expectRawValuesRoundTrip<ApplicationFoundActionOption>();
    expectRawValuesRoundTrip<ApplicationCopiedActionOption>();
    expectRawValuesRoundTrip<AllApplicationsHandledAction>();

    EXPECT_FALSE(FileFoundActionOption::fromRawValue("Ignore")); // a title is no raw value
    EXPECT_FALSE(FileFoundActionOption::fromRawValue("IGNORE"));
    EXPECT_FALSE(FileFoundActionOption::fromRawValue(""));
    EXPECT_FALSE(ApplicationFoundActionOption::fromRawValue("openApp")); // another option's value
    EXPECT_FALSE(AllApplicationsHandledAction::fromRawValue("move_to_trash_applications_handle_action"));
}
