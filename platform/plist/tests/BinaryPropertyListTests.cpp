// Our binary coder against libplist's, in both directions, and against
// malformed and hostile input.
#include "platform/plist/BinaryPropertyList.hpp"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <random>

using tavik::plist::Data;
using tavik::plist::Date;
using tavik::plist::PropertyList;
namespace binary = tavik::plist::binary;

namespace tavik::plist {
void PrintTo(const PropertyList& value, std::ostream* stream);
}

namespace {

PropertyList variedValue()
{
    PropertyList::Array many;
    for (int index = 0; index < 300; ++index) // more than 255 objects: two-byte references
        many.push_back(PropertyList(int64_t(index) * 977));
    return PropertyList(PropertyList::Dictionary {
        {"ascii", PropertyList("plain")},
        {"unicode", PropertyList("naïve – 日本 🎉")},
        {"long string", PropertyList(std::string(40, 'x'))},
        {"empty", PropertyList("")},
        {"data", PropertyList(Data(70000, 7))}, // length needs a four-byte count
        {"integers", PropertyList(PropertyList::Array {PropertyList(int64_t(0)), PropertyList(int64_t(255)), PropertyList(int64_t(256)), PropertyList(int64_t(65536)), PropertyList(int64_t(1) << 33), PropertyList(int64_t(-1)), PropertyList(std::numeric_limits<int64_t>::min())})},
        {"reals", PropertyList(PropertyList::Array {PropertyList(0.0), PropertyList(-1.5), PropertyList(1e300)})},
        {"booleans", PropertyList(PropertyList::Array {PropertyList(true), PropertyList(false)})},
        {"date", PropertyList(Date {-978307200.25})},
        {"many", PropertyList(std::move(many))},
        {"nested", PropertyList(PropertyList::Dictionary {{"deeper", PropertyList(PropertyList::Dictionary {})}})},
    });
}

// The bytes (XML or binary) as libplist reads them and writes them again, in
// binary or as XML.
std::string throughLibplist(const std::string& bytes, bool toBinary)
{
    plist_t node = nullptr;
    plist_from_memory(bytes.data(), uint32_t(bytes.size()), &node);
    char* written = nullptr;
    uint32_t length = 0;
    toBinary ? plist_to_bin(node, &written, &length) : plist_to_xml(node, &written, &length);
    std::string result = written ? std::string(written, length) : std::string();
    toBinary ? plist_to_bin_free(written) : plist_to_xml_free(written);
    plist_free(node);
    return result;
}

} // namespace

TEST(BinaryPropertyList, RoundTripsThroughItselfAndAgreesWithLibplistInBothDirections)
{
    auto value = variedValue();
    auto ourDecoding = binary::decode(binary::encode(value));
    ASSERT_TRUE(ourDecoding);
    EXPECT_EQ(*ourDecoding, value);

    // What libplist writes, we read.
    std::string theirs = throughLibplist(value.xmlRepresentation(), true);
    std::string problem;
    auto decoded = binary::decode(theirs, &problem);
    ASSERT_TRUE(decoded) << problem;
    // The XML form keeps whole seconds of dates only; compare the rest.
    auto withoutDate = [](PropertyList list) {
        list.dictionary()->erase("date");
        return list;
    };
    EXPECT_EQ(withoutDate(*decoded), withoutDate(value));

    // What we write, libplist reads as the same value.
    auto reparsed = PropertyList::parse(throughLibplist(binary::encode(value), false));
    ASSERT_TRUE(reparsed);
    EXPECT_EQ(withoutDate(*reparsed), withoutDate(value));
}

TEST(BinaryPropertyList, RejectsMalformedAndHostileInput)
{
    std::string valid = binary::encode(variedValue());
    // Every truncation fails cleanly.
    for (size_t length = 0; length < valid.size(); length += 997)
        EXPECT_FALSE(binary::decode(std::string_view(valid).substr(0, length))) << length;

    // An array that contains itself: bplist00, A1 -> object 0, offsets, trailer.
    std::string cycle = std::string("bplist00") + std::string("\xa1\x00", 2) + "\x08" + std::string(6, '\0') + "\x01\x01"
        + std::string(7, '\0') + "\x01" + std::string(8, '\0') + std::string(7, '\0') + "\x0a";
    ASSERT_EQ(cycle.size(), 8u + 2 + 1 + 32);
    std::string problem;
    EXPECT_FALSE(binary::decode(cycle, &problem));
    EXPECT_EQ(problem, "object contains itself");

    // Shared containers nested deep would decode to 2^40 values.
    std::string bomb = "bplist00";
    std::vector<size_t> offsets;
    offsets.push_back(bomb.size());
    bomb += "\x09";
    for (int level = 1; level <= 40; ++level) {
        offsets.push_back(bomb.size());
        bomb += "\xa2";
        bomb += char(level - 1);
        bomb += char(level - 1);
    }
    size_t table = bomb.size();
    for (size_t offset : offsets)
        bomb += char(offset);
    bomb += std::string(6, '\0') + "\x01\x01" + std::string(7, '\0') + char(offsets.size()) + std::string(7, '\0')
        + char(offsets.size() - 1) + std::string(7, '\0') + char(table);
    EXPECT_FALSE(binary::decode(bomb, &problem));
    EXPECT_EQ(problem, "too many values");

    // Random corruption never crashes (run under the sanitizers).
    std::mt19937 random(1);
    for (int round = 0; round < 2000; ++round) {
        std::string corrupted = valid;
        for (int flips = 0; flips < 4; ++flips)
            corrupted[random() % corrupted.size()] = char(random());
        (void)binary::decode(corrupted);
    }
}
