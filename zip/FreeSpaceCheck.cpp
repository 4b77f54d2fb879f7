#include "zip/FreeSpaceCheck.hpp"

#include "platform/filemanager/SpaceBudget.hpp"
#include "zip/Errors.hpp"

#include <limits>

namespace tavik::zip {

namespace {

constexpr uint64_t blockSize = 4096;

uint64_t saturatingAdd(uint64_t a, uint64_t b)
{
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max() : a + b;
}

uint64_t roundedUpToBlocks(uint64_t bytes)
{
    uint64_t blocks = bytes / blockSize + (bytes % blockSize != 0);
    return blocks > std::numeric_limits<uint64_t>::max() / blockSize ? std::numeric_limits<uint64_t>::max()
                                                                      : blocks * blockSize;
}

} // namespace

uint64_t recordedDiskUsage(std::span<const Entry> entries)
{
    uint64_t total = 0;
    for (const Entry& entry : entries) {
        uint64_t usage = entry.type() == EntryType::file ? roundedUpToBlocks(entry.uncompressedSize()) : blockSize;
        total = saturatingAdd(total, usage);
    }
    return total;
}

Result<void> checkFreeSpace(std::span<const Entry> entries, const std::filesystem::path& folder)
{
    auto measured = folder;
    std::error_code error;
    while (!std::filesystem::exists(measured, error) && measured.has_relative_path())
        measured = measured.parent_path();
    auto budget = TAVIK_TRY(SpaceBudget::forFolder(measured));
    uint64_t needed = recordedDiskUsage(entries);
    if (!budget.allows(needed))
        return InsufficientSpaceError::make(needed, budget.allowedBytes, folder.string());
    return {};
}

} // namespace tavik::zip
