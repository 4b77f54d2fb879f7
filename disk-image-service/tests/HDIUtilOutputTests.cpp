#include "disk-image-service/HDIUtilOutput.hpp"

#include <gtest/gtest.h>

using tavik::service::HDIUtilOutput;

namespace {

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
