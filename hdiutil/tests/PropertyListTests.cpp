#include "hdiutil/PropertyList.hpp"

#include <gtest/gtest.h>
#include <plist/plist.h>

using namespace tavik::hdiutil;

namespace {

struct EntityView {
    std::string contentHint;
    std::string devEntry;
    std::string mountPoint;
};

std::vector<EntityView> parse(const std::string& xml)
{
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    std::vector<EntityView> result;
    EXPECT_NE(root, nullptr) << xml;
    if (!root) return result;
    auto text = [](plist_t dict, const char* key) {
        plist_t node = plist_dict_get_item(dict, key);
        char* value = nullptr;
        if (node) plist_get_string_val(node, &value);
        std::string copy = value ? value : "";
        free(value);
        return copy;
    };
    plist_t entities = plist_dict_get_item(root, "system-entities");
    for (uint32_t index = 0; entities && index < plist_array_get_size(entities); ++index) {
        plist_t entity = plist_array_get_item(entities, index);
        result.push_back({text(entity, "content-hint"), text(entity, "dev-entry"), text(entity, "mount-point")});
    }
    plist_free(root);
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

TEST(PropertyList, ReadsTheHintsOfEveryBlockTable)
{
    EXPECT_EQ(partitionHints(gptListing),
        (std::vector<std::string> {"MBR", "Primary GPT Header", "Primary GPT Table", "Apple_Free", "Apple_HFS",
            "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"}));
    EXPECT_TRUE(partitionHints("Comment = \nComment = no hint here\nPath = x (y : 1)\n").empty());
}

TEST(PropertyList, GuidImageListsSchemePartitionsAndTheMountedVolume)
{
    auto entities = parse(attachPropertyList(partitionHints(gptListing), 5, "/tmp/mounts/A & <B>"));
    ASSERT_EQ(entities.size(), 3u);
    EXPECT_EQ(entities[0].contentHint, "GUID_partition_scheme");
    EXPECT_EQ(entities[0].devEntry, "/dev/disk5");
    EXPECT_EQ(entities[0].mountPoint, "");
    EXPECT_EQ(entities[1].contentHint, "Apple_HFS");
    EXPECT_EQ(entities[1].devEntry, "/dev/disk5s1");
    EXPECT_EQ(entities[1].mountPoint, "/tmp/mounts/A & <B>");
    EXPECT_EQ(entities[2].devEntry, "/dev/disk5s2");
    EXPECT_EQ(entities[2].mountPoint, "");
}

TEST(PropertyList, SingleVolumeImageIsTheWholeDisk)
{
    for (const auto& hints : {std::vector<std::string> {"Apple_HFS"}, std::vector<std::string> {}}) {
        auto entities = parse(attachPropertyList(hints, 4, "/m/\u00e9t\u00e9"));
        ASSERT_EQ(entities.size(), 1u);
        EXPECT_EQ(entities[0].devEntry, "/dev/disk4");
        EXPECT_EQ(entities[0].mountPoint, "/m/\u00e9t\u00e9");
    }
}

TEST(PropertyList, OnlyTextAPropertyListCanHold)
{
    EXPECT_TRUE(isPropertyListText("/tmp/caf\u00e9 & more\tx"));
    EXPECT_FALSE(isPropertyListText("/tmp/\xff"));
    EXPECT_FALSE(isPropertyListText("/tmp/a\x01"
                                    "b"));
}
