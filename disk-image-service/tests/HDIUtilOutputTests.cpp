#include "disk-image-service/HDIUtilOutput.hpp"
#include "disk-image-service/tests/TestSupport.hpp"
#include "platform/plist/PropertyList.hpp"

#include <gtest/gtest.h>

using tavik::service::HDIUtilOutput;
using tavik::service::testing::attachPlist;

namespace {

TEST(HDIUtilOutputTest, ReadsEntitiesInOrderFromXMLAndBinaryLists)
{
    auto xml = attachPlist({std::nullopt, "/tmp/tavik mounts/Vol ü", std::nullopt, "/Volumes/Other"});
    auto binary = tavik::plist::PropertyList::parse(xml);
    ASSERT_TRUE(binary.ok());
    for (const auto& data : {xml, binary->binaryRepresentation()}) {
        auto output = HDIUtilOutput::decode(data);
        ASSERT_TRUE(output.ok()) << output.error()->description();
        std::vector<std::string> mountPoints;
        for (const auto& entity : output->systemEntities)
            mountPoints.push_back(entity.mountPoint ? entity.mountPoint->path().string() : "-");
        EXPECT_EQ(mountPoints, (std::vector<std::string> {"-", "/tmp/tavik mounts/Vol ü", "-", "/Volumes/Other"}));
    }
}

TEST(HDIUtilOutputTest, RefusesWhatDoesNotHaveTheExpectedShapeAndSaysWhat)
{
    auto plist = [](const std::string& body) { return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" + body + "</plist>"; };
    const std::pair<std::string, std::string> refused[] = {
        {"", ""},
        {"not a property list", ""},
        {plist("<array/>"), ""},
        {plist("<dict/>"), "\"system-entities\""},
        {plist("<dict><key>other</key><string>x</string></dict>"), "\"system-entities\""},
        {plist("<dict><key>system-entities</key><string>x</string></dict>"), ""},
        {plist("<dict><key>system-entities</key><array><string>x</string></array></dict>"), ""},
        {plist("<dict><key>system-entities</key><array><dict><key>mount-point</key><integer>3</integer></dict></array></dict>"), ""},
        {"<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>system-entities</key><array>", ""},
    };
    for (const auto& [data, named] : refused) {
        auto output = HDIUtilOutput::decode(data);
        ASSERT_FALSE(output.ok()) << data;
        EXPECT_FALSE(output.error()->description().empty());
        EXPECT_NE(output.error()->description().find(named), std::string::npos) << output.error()->description();
    }
}

} // namespace
