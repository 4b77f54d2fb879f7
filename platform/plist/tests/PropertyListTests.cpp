#include "platform/plist/PropertyList.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace tavik::plist {
void PrintTo(const PropertyList& value, std::ostream* stream) { *stream << value.description(); }
} // namespace tavik::plist

using tavik::plist::Data;
using tavik::plist::Date;
using tavik::plist::PropertyList;

namespace {

PropertyList sample()
{
    return PropertyList(PropertyList::Dictionary {
        {"string", PropertyList("héllo \"quoted\" <&>")},
        {"data", PropertyList(Data {0, 1, 2, 255})},
        {"integer", PropertyList(int64_t(-5))},
        {"big", PropertyList(int64_t(1) << 40)},
        {"real", PropertyList(2.0)},
        {"boolean", PropertyList(true)},
        {"date", PropertyList(Date {86400})},
        {"array", PropertyList(PropertyList::Array {PropertyList(1), PropertyList("two"), PropertyList(false)})},
        {"nested", PropertyList(PropertyList::Dictionary {{"empty", PropertyList()}})},
    });
}

} // namespace

TEST(PropertyList, BinaryAndXMLRoundTripThroughFilesKeepEveryKindDistinctAndOtherBytesAreRefused)
{
    auto path = std::filesystem::temp_directory_path() / ("plist-test-" + std::to_string(::getpid()) + ".plist");
    const std::string binary = sample().binaryRepresentation();
    EXPECT_TRUE(binary.starts_with("bplist00"));
    for (const std::string& bytes : {binary, sample().xmlRepresentation()}) {
        std::ofstream(path, std::ios::binary) << bytes;
        auto parsed = PropertyList::readFile(path);
        ASSERT_TRUE(parsed) << parsed.error()->description();
        EXPECT_EQ(*parsed, sample()) << "equal values are of one kind: 2.0 stays a real, true a Boolean, 1 an integer";
    }
    std::filesystem::remove(path);
    EXPECT_FALSE(PropertyList::readFile(path));
    for (std::string bytes : {std::string(), std::string("garbage"), std::string("bplist00\x01\x02", 10), std::string("<plist><dict><key>a</key></plist>"), binary.substr(0, binary.size() / 2)})
        EXPECT_FALSE(PropertyList::parse(bytes)) << bytes;
}

TEST(PropertyList, ParsesXMLWrittenByOtherTools)
{
    auto parsed = PropertyList::parse(std::string_view(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>system-entities</key>
	<array>
		<dict><key>mount-point</key><string>/tmp/mounts/Example</string></dict>
	</array>
</dict>
</plist>
)"));
    ASSERT_TRUE(parsed);
    auto entities = parsed->find("system-entities");
    ASSERT_TRUE(entities && entities->array());
    EXPECT_EQ(*entities->array()->at(0).find("mount-point")->string(), "/tmp/mounts/Example");
    EXPECT_EQ(parsed->find("missing"), nullptr);
    EXPECT_EQ(entities->find("mount-point"), nullptr); // not a dictionary
}

// Log messages and test failures show values this way.
TEST(PropertyList, DescriptionShowsStructure)
{
    EXPECT_EQ(PropertyList(PropertyList::Dictionary {{"A", PropertyList(PropertyList::Array {PropertyList(1), PropertyList("b")})}}).description(), "{\"A\" = (1, \"b\")}");
    EXPECT_EQ(PropertyList(Data {0xde, 0xad, 0xbe, 0xef, 1}).description(), "<deadbeef 01>");
}
