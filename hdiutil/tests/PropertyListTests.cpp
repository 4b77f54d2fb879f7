#include "hdiutil/PropertyList.hpp"
#include "platform/plist/PropertyList.hpp"

#include <gtest/gtest.h>

using namespace tavik::hdiutil;

namespace {

// Each entity of the attach property list as "content-hint dev-entry mount-point".
std::vector<std::string> entitiesIn(const std::string& xml)
{
    auto list = tavik::plist::PropertyList::parse(xml);
    EXPECT_TRUE(list.ok()) << xml;
    const auto* entities = list.ok() ? list->find("system-entities") : nullptr;
    std::vector<std::string> result;
    for (const auto& entity : entities && entities->array() ? *entities->array() : tavik::plist::PropertyList::Array {}) {
        std::string line;
        for (auto key : {"content-hint", "dev-entry", "mount-point"}) {
            const auto* value = entity.find(key);
            line += std::string(line.empty() ? "" : " ") + (value && value->string() ? *value->string() : "-");
        }
        result.push_back(line);
    }
    return result;
}

constexpr const char* gptListing = "Path = 0.Protective Master Boot Record (MBR : 0).mbr\n"
                                   "Comment = Protective Master Boot Record (MBR : 0)\n\n"
                                   "Path = 1.GPT Header (Primary GPT Header : 1)\n"
                                   "Comment = GPT Header (Primary GPT Header : 1)\n\n"
                                   "Path = 2.GPT Partition Data (Primary GPT Table : 2)\n"
                                   "Comment = GPT Partition Data (Primary GPT Table : 2)\n\n"
                                   "Path = 3. (Apple_Free : 3)\n"
                                   "Comment =  (Apple_Free : 3)\n\n"
                                   "Path = 4.disk image (Apple_HFS : 4).hfs\r\n"
                                   "Comment = disk image (Apple_HFS : 4)\r\n\n"
                                   "Path = 5.EFI\n"
                                   "Comment = EFI System Partition (C12A7328-F81F-11D2-BA4B-00A0C93EC93B : 5)\n";

} // namespace

// Each block table's hint is read; a GUID image lists its scheme, its
// partitions and the one mounted volume; a single volume, with or without
// its hint, is the whole disk.
TEST(PropertyList, ListsTheDiskItsPartitionsAndTheMountedVolume)
{
    EXPECT_EQ(partitionHints(gptListing),
        (std::vector<std::string> {"MBR", "Primary GPT Header", "Primary GPT Table", "Apple_Free", "Apple_HFS", "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"}));
    EXPECT_TRUE(partitionHints("Comment = \nComment = no hint here\nPath = x (y : 1)\n").empty());
    EXPECT_EQ(entitiesIn(attachPropertyList(partitionHints(gptListing), 5, "/tmp/mounts/A & <B>")),
        (std::vector<std::string> {"GUID_partition_scheme /dev/disk5 -", "Apple_HFS /dev/disk5s1 /tmp/mounts/A & <B>",
            "C12A7328-F81F-11D2-BA4B-00A0C93EC93B /dev/disk5s2 -"}));
    EXPECT_EQ(entitiesIn(attachPropertyList({"Apple_HFS"}, 4, "/m/\u00e9t\u00e9")), std::vector<std::string> {"Apple_HFS /dev/disk4 /m/\u00e9t\u00e9"});
    auto unhinted = entitiesIn(attachPropertyList({}, 4, "/m"));
    ASSERT_EQ(unhinted.size(), 1u);
    EXPECT_TRUE(unhinted[0].ends_with(" /dev/disk4 /m")) << unhinted[0];
}

TEST(PropertyList, OnlyTextAPropertyListCanHold)
{
    EXPECT_TRUE(isPropertyListText("/tmp/caf\u00e9 & more\tx"));
    EXPECT_FALSE(isPropertyListText("/tmp/\xff"));
    EXPECT_FALSE(isPropertyListText(std::string("/tmp/a\x01") + "b"));
}
