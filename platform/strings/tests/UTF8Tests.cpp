#include "platform/strings/UTF8.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace tavik;

namespace {

TEST(UTF8Test, WellFormedTextIsRecognisedAndMalformedSequencesAreNot)
{
    EXPECT_TRUE(isValidUTF8(""));
    EXPECT_TRUE(isValidUTF8("plain"));
    EXPECT_TRUE(isValidUTF8("Ünïcode € 𝄞"));
    EXPECT_TRUE(isValidUTF8(std::string("a\0b", 3)));
    EXPECT_TRUE(isValidUTF8("\xf4\x8f\xbf\xbf")); // U+10FFFF, the last code point
    EXPECT_FALSE(isValidUTF8("\xff"));
    EXPECT_FALSE(isValidUTF8("\xc3")); // cut short
    EXPECT_FALSE(isValidUTF8("\xc0\xaf")); // overlong
    EXPECT_FALSE(isValidUTF8("\xe0\x80\xaf")); // overlong, three bytes
    EXPECT_FALSE(isValidUTF8("\xed\xa0\x80")); // surrogate
    EXPECT_FALSE(isValidUTF8("\xf4\x90\x80\x80")); // beyond U+10FFFF
    EXPECT_FALSE(isValidUTF8("\xe2\x82")); // cut short at the end
    EXPECT_FALSE(isValidUTF8("\xe2\x28\xac")); // a continuation byte missing
}

TEST(UTF8Test, LeadingSequenceLengthCountsOneCharacterOrNothing)
{
    struct Case {
        std::string_view bytes;
        std::size_t length;
    };
    for (auto [bytes, length] : {Case {"", 0}, Case {"ab", 1}, Case {"Ü!", 2}, Case {"€", 3}, Case {"𝄞x", 4},
             Case {"\x80", 0}, Case {"\xc3", 0}, Case {"\xed\xa0\x80", 0}})
        EXPECT_EQ(leadingUTF8SequenceLength(bytes), length) << bytes;
}

} // namespace
