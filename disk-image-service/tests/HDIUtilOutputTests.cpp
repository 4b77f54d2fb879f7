#include "disk-image-service/HDIUtilOutput.hpp"
#include "disk-image-service/tests/TestSupport.hpp"
#include "platform/plist/PropertyList.hpp"

#include <gtest/gtest.h>

using tavik::service::HDIUtilOutput;
using tavik::service::testing::attachPlist;

namespace {

std::string binaryPlist(const std::string& xml)
{
    auto value = tavik::plist::PropertyList::parse(xml);
    EXPECT_TRUE(value.ok()) << xml;
    return value ? value->binaryRepresentation() : std::string();
}

TEST(HDIUtilOutputTest, ReadsEntitiesInOrderFromXMLAndBinaryLists)
{
    auto xml = attachPlist({std::nullopt, "/tmp/tavik mounts/Vol ü", std::nullopt, "/Volumes/Other"});
    for (const auto& data : {xml, binaryPlist(xml)}) {
        auto output = HDIUtilOutput::decode(data);
        ASSERT_TRUE(output.ok()) << output.error()->description();
        ASSERT_EQ(output->systemEntities.size(), 4u);
        EXPECT_FALSE(output->systemEntities[0].mountPoint);
        ASSERT_TRUE(output->systemEntities[1].mountPoint);
        EXPECT_EQ(output->systemEntities[1].mountPoint->path(), "/tmp/tavik mounts/Vol ü");
        EXPECT_FALSE(output->systemEntities[2].mountPoint);
        EXPECT_EQ(output->systemEntities[3].mountPoint->path(), "/Volumes/Other");
    }
}

TEST(HDIUtilOutputTest, RefusesWhatDoesNotHaveTheExpectedShape)
{
    auto plist = [](const std::string& body) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" + body + "</plist>";
    };
    const std::vector<std::string> refused = {
        "",
        "not a property list",
        plist("<array/>"),
        plist("<dict><key>other</key><string>x</string></dict>"),
        plist("<dict><key>system-entities</key><string>x</string></dict>"),
        plist("<dict><key>system-entities</key><array><string>x</string></array></dict>"),
        plist("<dict><key>system-entities</key><array><dict><key>mount-point</key><integer>3</integer></dict></array></dict>"),
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>system-entities</key><array>",
    };
    for (const auto& data : refused) {
        auto output = HDIUtilOutput::decode(data);
        EXPECT_FALSE(output.ok()) << data;
        if (!output.ok()) {
            EXPECT_FALSE(output.error()->description().empty());
        }
    }
    auto missing = HDIUtilOutput::decode(plist("<dict/>"));
    ASSERT_FALSE(missing.ok());
    EXPECT_NE(missing.error()->description().find("\"system-entities\""), std::string::npos);
}

} // namespace
