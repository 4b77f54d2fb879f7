#include "hdiutil/PropertyList.hpp"

#include "hdiutil/Listing.hpp"
#include "platform/plist/PropertyList.hpp"
#include "platform/strings/UTF8.hpp"

#include <algorithm>

namespace tavik::hdiutil {
namespace {

bool contains(std::string_view text, std::string_view part)
{
    return text.find(part) != std::string_view::npos;
}

// Block tables that describe the partition map, not a partition.
bool isMapStructure(std::string_view hint)
{
    for (std::string_view marker : {"MBR", "GPT", "Apple_partition_map", "DDM", "Driver", "Apple_Free", "Patches"}) {
        if (contains(hint, marker)) return true;
    }
    return false;
}

bool isVolumeHint(std::string_view hint)
{
    return hint == "Apple_HFS" || hint == "Apple_HFSX" || hint == "Apple_APFS" || hint == "48465300-0000-11AA-AA11-00306543ECAC" || hint == "7C3457EF-0000-11AA-AA11-00306543ECAC";
}

std::optional<std::string> schemeOf(const std::vector<std::string>& hints)
{
    auto any = [&](std::string_view marker) {
        return std::any_of(hints.begin(), hints.end(), [&](const std::string& hint) { return contains(hint, marker); });
    };
    if (any("GPT")) return "GUID_partition_scheme";
    if (any("Apple_partition_map")) return "Apple_partition_scheme";
    if (any("MBR")) return "FDisk_partition_scheme";
    return std::nullopt;
}

struct Entity {
    std::string contentHint;
    std::string devEntry;
    bool mountable = false;
    std::optional<std::string> mountPoint;
};

plist::PropertyList entityValue(const Entity& entity)
{
    plist::PropertyList::Dictionary keys {
        {"content-hint", entity.contentHint},
        {"dev-entry", entity.devEntry},
        {"potentially-mountable", entity.mountable},
        {"unmapped-content-hint", entity.contentHint},
    };
    if (entity.mountPoint) {
        keys.emplace("mount-point", *entity.mountPoint);
        keys.emplace("volume-kind", "hfs");
    }
    return keys;
}

} // namespace

std::vector<std::string> partitionHints(std::string_view listing)
{
    std::vector<std::string> hints;
    constexpr std::string_view commentKey = "Comment = ";
    listing::forEachLine(listing::header(listing), [&](std::string_view line) {
        if (!line.starts_with(commentKey) || !line.ends_with(")")) return;
        auto open = line.rfind('(');
        auto separator = line.rfind(" : ");
        if (open == std::string_view::npos || separator == std::string_view::npos || separator < open) return;
        auto hint = line.substr(open + 1, separator - open - 1);
        if (!hint.empty()) hints.emplace_back(hint);
    });
    return hints;
}

std::string attachPropertyList(const std::vector<std::string>& hints, int diskNumber, const std::string& mountPoint)
{
    const std::string disk = "/dev/disk" + std::to_string(diskNumber);
    std::vector<Entity> entities;
    auto scheme = schemeOf(hints);
    if (scheme) entities.push_back({*scheme, disk, false, std::nullopt});

    std::vector<std::string> partitions;
    for (const auto& hint : hints) {
        if (!isMapStructure(hint)) partitions.push_back(hint);
    }
    if (partitions.empty()) partitions.push_back("Apple_HFS");
    auto volume = std::find_if(partitions.begin(), partitions.end(), [](const std::string& hint) { return isVolumeHint(hint); });
    size_t volumeIndex = volume == partitions.end() ? 0 : static_cast<size_t>(volume - partitions.begin());

    bool wholeDisk = !scheme && partitions.size() == 1;
    for (size_t index = 0; index < partitions.size(); ++index) {
        Entity entity {partitions[index], wholeDisk ? disk : disk + "s" + std::to_string(index + 1), true, std::nullopt};
        if (index == volumeIndex) entity.mountPoint = mountPoint;
        entities.push_back(std::move(entity));
    }

    plist::PropertyList::Array values;
    for (const auto& entity : entities) values.push_back(entityValue(entity));
    return plist::PropertyList(plist::PropertyList::Dictionary {{"system-entities", std::move(values)}}).xmlRepresentation();
}

bool isPropertyListText(std::string_view text)
{
    if (!isValidUTF8(text)) return false;
    return std::none_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
    });
}

} // namespace tavik::hdiutil
