#pragma once

#include "platform/foundation/Result.hpp"
#include "zip/Entry.hpp"

#include <cstdint>
#include <filesystem>
#include <span>

namespace tavik::zip {

// What extracting the entries takes on disk by what the archive records:
// each file's size rounded up to whole 4 KiB blocks, and one block for every
// folder and link. Saturates rather than overflow.
uint64_t recordedDiskUsage(std::span<const Entry> entries);
uint64_t recordedDiskUsage(const Entry& entry);
// Adds without overflowing, for totals of recordedDiskUsage.
uint64_t addDiskUsage(uint64_t total, uint64_t more);

// Succeeds when the entries' recorded disk usage fits what may be written
// into folder (SpaceBudget: the free space of its file system less a
// reserve, under a cap); fails with InsufficientSpaceError otherwise. A
// folder that does not exist yet is measured at its nearest existing parent.
Result<void> checkFreeSpace(std::span<const Entry> entries, const std::filesystem::path& folder);
Result<void> checkFreeSpace(uint64_t neededBytes, const std::filesystem::path& folder);

} // namespace tavik::zip
