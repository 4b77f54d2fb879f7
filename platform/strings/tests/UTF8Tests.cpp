#include "platform/strings/UTF8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tavik;

TEST(UTF8Test, WellFormedTextAndLeadingCharactersAreRecognisedAndMalformedSequencesAreNot)
{
    for (const std::string& text : std::vector<std::string> {"", "plain", "Ünïcode € 𝄞", std::string("a\0b", 3), "\xf4\x8f\xbf\xbf" /* U+10FFFF */})
        EXPECT_TRUE(isValidUTF8(text)) << text;
    // Stray, cut short, overlong, surrogate, beyond U+10FFFF, cut short at the end, continuation missing.
    for (const char* text : {"\xff", "\xc3", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\xe2\x28\xac"})
        EXPECT_FALSE(isValidUTF8(text)) << text;

    // The leading sequence is one whole character or nothing.
    struct Case {
        std::string_view bytes;
        std::size_t length;
    };
    for (auto [bytes, length] : {Case {"", 0}, Case {"ab", 1}, Case {"Ü!", 2}, Case {"€", 3}, Case {"𝄞x", 4}, Case {"\x80", 0},
             Case {"\xc3", 0}, Case {"\xed\xa0\x80", 0}})
        EXPECT_EQ(leadingUTF8SequenceLength(bytes), length) << bytes;
}
