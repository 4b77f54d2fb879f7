#include "hdiutil/PropertyList.hpp"

#include "platform/strings/UTF8.hpp"

#include <algorithm>

namespace tavik::hdiutil {
namespace {

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// Block tables that describe the partition map, not a partition.
bool isMapStructure(std::string_view hint) {
    for (std::string_view marker : {"MBR", "GPT", "Apple_partition_map", "DDM", "Driver", "Apple_Free", "Patches"}) {
        if (contains(hint, marker)) return true;
    }
    return false;
}

bool isVolumeHint(std::string_view hint) {
    return hint == "Apple_HFS" || hint == "Apple_HFSX" || hint == "Apple_APFS" ||
           hint == "48465300-0000-11AA-AA11-00306543ECAC" || hint == "7C3457EF-0000-11AA-AA11-00306543ECAC";
}

std::optional<std::string> schemeOf(const std::vector<std::string>& hints) {
    auto any = [&](std::string_view marker) {
        return std::any_of(hints.begin(), hints.end(), [&](const std::string& hint) { return contains(hint, marker); });
    };
    if (any("GPT")) return "GUID_partition_scheme";
    if (any("Apple_partition_map")) return "Apple_partition_scheme";
    if (any("MBR")) return "FDisk_partition_scheme";
    return std::nullopt;
}

std::string escaped(std::string_view text) {
    std::string result;
    for (char c : text) {
        switch (c) {
        case '&': result += "&amp;"; break;
        case '<': result += "&lt;"; break;
        case '>': result += "&gt;"; break;
        default: result += c;
        }
    }
    return result;
}

struct Entity {
    std::string contentHint;
    std::string devEntry;
    bool mountable = false;
    std::optional<std::string> mountPoint;
};

void writeEntity(std::string& out, const Entity& entity) {
    auto key = [&out](std::string_view name) { out += "\t\t\t<key>" + std::string(name) + "</key>\n"; };
    auto string = [&out](std::string_view value) { out += "\t\t\t<string>" + escaped(value) + "</string>\n"; };
    out += "\t\t<dict>\n";
    key("content-hint");
    string(entity.contentHint);
    key("dev-entry");
    string(entity.devEntry);
    if (entity.mountPoint) {
        key("mount-point");
        string(*entity.mountPoint);
    }
    key("potentially-mountable");
    out += entity.mountable ? "\t\t\t<true/>\n" : "\t\t\t<false/>\n";
    key("unmapped-content-hint");
    string(entity.contentHint);
    if (entity.mountPoint) {
        key("volume-kind");
        string("hfs");
    }
    out += "\t\t</dict>\n";
}

} // namespace

std::vector<std::string> partitionHints(std::string_view listing) {
    std::vector<std::string> hints;
    constexpr std::string_view commentKey = "Comment = ";
    // The block tables come before the listing of the volume's own entries.
    listing = listing.substr(0, listing.find("\n----------\n"));
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string_view::npos) end = listing.size();
        auto line = listing.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.starts_with(commentKey) || !line.ends_with(")")) continue;
        auto open = line.rfind('(');
        auto separator = line.rfind(" : ");
        if (open == std::string_view::npos || separator == std::string_view::npos || separator < open) continue;
        auto hint = line.substr(open + 1, separator - open - 1);
        if (!hint.empty()) hints.emplace_back(hint);
    }
    return hints;
}

std::string attachPropertyList(const std::vector<std::string>& hints, int diskNumber, const std::string& mountPoint) {
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
        Entity entity{partitions[index], wholeDisk ? disk : disk + "s" + std::to_string(index + 1), true, std::nullopt};
        if (index == volumeIndex) entity.mountPoint = mountPoint;
        entities.push_back(std::move(entity));
    }

    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n\t<key>system-entities</key>\n\t<array>\n";
    for (const auto& entity : entities) writeEntity(out, entity);
    out += "\t</array>\n</dict>\n</plist>\n";
    return out;
}

bool isPropertyListText(std::string_view text) {
    if (!isValidUTF8(text)) return false;
    return std::none_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
    });
}

} // namespace tavik::hdiutil
