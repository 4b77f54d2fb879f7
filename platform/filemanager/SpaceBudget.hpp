#pragma once

#include "platform/foundation/Result.hpp"

#include <cstdint>
#include <filesystem>

namespace tavik {

// How much untrusted content (what an archive or a disk image says it holds)
// may be written into a folder: the free space of the folder's file system
// less a reserve that keeps the machine usable, and never more than a cap
// per download, whatever the disk offers.
struct SpaceBudget {
    // Bytes one download may write even on a large, empty disk.
    static constexpr std::uint64_t cap = std::uint64_t {64} << 30;
    // The reserve left free: 5 % of the file system, at least 16 MiB and at
    // most 1 GiB, so a small file system is still usable in tests.
    static std::uint64_t reserveFor(std::uint64_t fileSystemBytes);

    std::uint64_t freeBytes = 0;
    std::uint64_t fileSystemBytes = 0;
    std::uint64_t allowedBytes = 0;

    // Reads the file system that holds the folder (statvfs); fails with a
    // FileError when it cannot be read.
    static Result<SpaceBudget> forFolder(const std::filesystem::path& folder);
    // The same for a folder that may still be to be made: the file system of
    // its nearest existing parent.
    static Result<SpaceBudget> forFolderToBe(std::filesystem::path folder);
    // The budget for a file system of this size with this much free.
    static SpaceBudget make(std::uint64_t freeBytes, std::uint64_t fileSystemBytes);

    bool allows(std::uint64_t bytes) const { return bytes <= allowedBytes; }
};

} // namespace tavik
