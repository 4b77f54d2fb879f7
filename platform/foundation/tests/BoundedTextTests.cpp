#include "platform/foundation/BoundedText.hpp"

#include <gtest/gtest.h>

namespace tavik {
namespace {

bool isValidUTF8(const std::string& text)
{
    for (std::size_t index = 0; index < text.size();) {
        const auto byte = static_cast<unsigned char>(text[index]);
        const std::size_t length = byte < 0x80 ? 1 : (byte & 0xE0) == 0xC0 ? 2
            : (byte & 0xF0) == 0xE0                                        ? 3
            : (byte & 0xF8) == 0xF0                                        ? 4
                                                                           : 0;
        if (length == 0 || index + length > text.size())
            return false;
        for (std::size_t next = 1; next < length; ++next)
            if ((static_cast<unsigned char>(text[index + next]) & 0xC0) != 0x80)
                return false;
        index += length;
    }
    return true;
}

TEST(BoundedText, KeepsShortStreamsWholeAndLongOnesAsStartAndEnd)
{
    BoundedText shortText(16, 8);
    shortText.append("hello ");
    shortText.append("world");
    EXPECT_EQ(shortText.text(), "hello world");
    EXPECT_FALSE(shortText.overflowed());

    BoundedText longText(8, 13);
    longText.append("beginning ");
    for (int index = 0; index < 100000; ++index)
        longText.append("noise noise ");
    longText.append("Resource busy");
    const std::string text = longText.text();
    EXPECT_TRUE(longText.overflowed());
    EXPECT_TRUE(text.starts_with("beginnin")) << text;
    EXPECT_TRUE(text.ends_with("Resource busy")) << text;
    EXPECT_LT(text.size(), 100u);
    EXPECT_EQ(longText.totalSize(), 10u + 100000u * 12u + 13u);
    EXPECT_NE(text.find("bytes left out"), std::string::npos);
}

TEST(BoundedText, NeverCutsAUtf8SequenceInTwo)
{
    // "é" is two bytes and "€" three; every limit lands somewhere inside them.
    std::string accented;
    for (int index = 0; index < 50; ++index)
        accented += "é€";
    for (std::size_t limit = 1; limit < 12; ++limit) {
        BoundedText collected(limit, limit);
        collected.append(accented);
        EXPECT_TRUE(isValidUTF8(collected.text())) << limit;
        EXPECT_TRUE(isValidUTF8(abridged(accented, limit))) << limit;
        EXPECT_LT(abridged(accented, limit).size(), limit + 32);
    }
    EXPECT_EQ(abridged("short", 5), "short");
}

} // namespace
} // namespace tavik
