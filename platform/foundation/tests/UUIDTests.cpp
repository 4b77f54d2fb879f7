#include "platform/foundation/UUID.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>

using tavik::UUID;

// New ones are canonical upper-case version 4 and distinct; parsing takes the
// canonical form in either case and nothing else.
TEST(UUIDTest, NewUUIDsAreCanonicalVersionFourAndDistinctAndOnlyTheCanonicalFormParses)
{
    std::regex canonical("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        auto text = UUID().uuidString();
        EXPECT_TRUE(std::regex_match(text, canonical)) << text;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 100u);

    auto parsed = UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(UUID::fromString(parsed->uuidString()), parsed);
    for (const char* bad : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5", "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF",
             "G621E1F8-C36C-495A-93FC-0C247A3E6E5F", "E621E1F-8C36C-495A-93FC-0C247A3E6E5F", "E621E1F8 C36C 495A 93FC 0C247A3E6E5F"})
        EXPECT_FALSE(UUID::fromString(bad)) << bad;
}
