#include "hdiutil/VolumeSize.hpp"

#include "hdiutil/Commands.hpp"
#include "hdiutil/Listing.hpp"
#include "platform/filemanager/SpaceBudget.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <string>

namespace tavik::hdiutil {
namespace {

constexpr std::uint64_t blockSize = 4096;

std::uint64_t saturatingAdd(std::uint64_t left, std::uint64_t right)
{
    return left > std::numeric_limits<std::uint64_t>::max() - right ? std::numeric_limits<std::uint64_t>::max()
                                                                    : left + right;
}

std::optional<std::uint64_t> numberAfter(std::string_view line, std::string_view key)
{
    if (!line.starts_with(key)) return std::nullopt;
    line.remove_prefix(key.size());
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (error != std::errc() || end != line.data() + line.size()) return std::nullopt;
    return value;
}

// Calls `visit` with the lines of each block of "Key = value" lines; blocks
// end at an empty line or a "--"/"----" separator.
template <typename Visit>
void forEachBlock(std::string_view text, Visit visit)
{
    std::vector<std::string_view> block;
    listing::forEachLine(text, [&](std::string_view line) {
        if (line.empty() || line.find_first_not_of('-') == std::string_view::npos) {
            if (!block.empty()) visit(block);
            block.clear();
        } else {
            block.push_back(line);
        }
    });
    if (!block.empty()) visit(block);
}

std::string describe(std::uint64_t bytes)
{
    char text[64];
    if (bytes >= (std::uint64_t {1} << 30)) {
        std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1 << 30));
    } else {
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    }
    return text;
}

} // namespace

VolumeSize VolumeSize::of(std::string_view listing)
{
    VolumeSize size;
    // The header describes the image, then the partition taken from it, then
    // the volume: the partition's block has a size and no type, the volume's
    // the type HFS and the size its header claims.
    forEachBlock(listing::header(listing), [&](const std::vector<std::string_view>& block) {
        bool isVolume = std::any_of(block.begin(), block.end(), [](auto line) { return line.starts_with("Type = HFS"); });
        bool hasType = std::any_of(block.begin(), block.end(), [](auto line) { return line.starts_with("Type = "); });
        for (auto line : block) {
            auto bytes = isVolume ? numberAfter(line, "Physical Size = ") : hasType ? std::nullopt
                                                                                    : numberAfter(line, "Size = ");
            if (bytes) size.partitionBytes = std::min(size.partitionBytes.value_or(*bytes), *bytes);
        }
    });
    forEachBlock(listing::entries(listing), [&](const std::vector<std::string_view>& block) {
        std::uint64_t bytes = 0;
        for (auto line : block) {
            if (auto value = numberAfter(line, "Size = ")) bytes = *value;
        }
        size.listedBytes = saturatingAdd(size.listedBytes, bytes);
        std::uint64_t blocks = bytes / blockSize + (bytes % blockSize != 0);
        size.diskBytes = saturatingAdd(size.diskBytes, std::max<std::uint64_t>(blocks, 1) * blockSize);
    });
    return size;
}

void checkRoomFor(const VolumeSize& size, const std::filesystem::path& folder)
{
    if (size.partitionBytes && size.listedBytes > *size.partitionBytes) {
        throw CommandFailure("attach failed - the image is too large for the free space: its files list " + describe(size.listedBytes) + ", more than the " + describe(*size.partitionBytes) + " partition that holds them");
    }
    auto budget = SpaceBudget::forFolder(folder);
    if (!budget) {
        throw CommandFailure("attach failed - cannot read the free space of " + folder.string() + ": " + budget.error()->description());
    }
    if (!budget->allows(size.diskBytes)) {
        throw CommandFailure("attach failed - the image is too large for the free space: its files need " + describe(size.diskBytes) + ", and at most " + describe(budget->allowedBytes) + " may be written to " + folder.string());
    }
}

} // namespace tavik::hdiutil
