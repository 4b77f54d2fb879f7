#include "zip/FreeSpaceCheck.hpp"

#include "platform/filemanager/SpaceBudget.hpp"
#include "zip/Errors.hpp"

#include <limits>

namespace tavik::zip {

namespace {

constexpr uint64_t blockSize = 4096;

uint64_t roundedUpToBlocks(uint64_t bytes)
{
    uint64_t blocks = bytes / blockSize + (bytes % blockSize != 0);
    return blocks > std::numeric_limits<uint64_t>::max() / blockSize ? std::numeric_limits<uint64_t>::max()
                                                                     : blocks * blockSize;
}

} // namespace

uint64_t addDiskUsage(uint64_t total, uint64_t more)
{
    return more > std::numeric_limits<uint64_t>::max() - total ? std::numeric_limits<uint64_t>::max() : total + more;
}

uint64_t recordedDiskUsage(const Entry& entry)
{
    return entry.type() == EntryType::file ? roundedUpToBlocks(entry.uncompressedSize()) : blockSize;
}

uint64_t recordedDiskUsage(std::span<const Entry> entries)
{
    uint64_t total = 0;
    for (const Entry& entry : entries)
        total = addDiskUsage(total, recordedDiskUsage(entry));
    return total;
}

Result<void> checkFreeSpace(std::span<const Entry> entries, const std::filesystem::path& folder)
{
    return checkFreeSpace(recordedDiskUsage(entries), folder);
}

Result<void> checkFreeSpace(uint64_t needed, const std::filesystem::path& folder)
{
    auto budget = TAVIK_TRY(SpaceBudget::forFolderToBe(folder));
    if (!budget.allows(needed))
        return InsufficientSpaceError::make(needed, budget.allowedBytes, folder.string());
    return {};
}

} // namespace tavik::zip
