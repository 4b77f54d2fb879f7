#pragma once

#include <cstddef>
#include <cstdint>

namespace tavik::zip {

// What one archive may list before it is refused. Each is far above any real
// application (the largest bundles hold some tens of thousands of files, with
// paths of a few hundred bytes and a few dozen levels), and together they
// keep a hostile entry list from exhausting memory or inodes.
struct ArchiveLimits {
    static constexpr uint64_t maximumEntryCount = 250'000;
    // Bytes of one entry's path, and its '/'-separated components.
    static constexpr size_t maximumPathLength = 1024;
    static constexpr size_t maximumPathDepth = 128;
    // Bytes of central directory records and local header names and extra
    // fields read for one walk: what a full entry list keeps in memory.
    static constexpr uint64_t maximumEntryListBytes = uint64_t {256} << 20;
};

} // namespace tavik::zip
