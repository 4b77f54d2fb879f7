#include "platform/foundation/BoundedText.hpp"
#include "platform/strings/UTF8.hpp"

#include <gtest/gtest.h>

namespace tavik {
namespace {

TEST(BoundedText, KeepsShortStreamsWholeAndLongOnesAsStartAndEndNeverCuttingAUtf8SequenceInTwo)
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
