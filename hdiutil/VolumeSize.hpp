#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace tavik::hdiutil {

// What laying a volume out would write, read from its technical listing
// (`7zz l -slt`) before anything is extracted.
struct VolumeSize {
    // The sizes of the entries, added up.
    std::uint64_t listedBytes = 0;
    // What writing them takes: every entry in whole 4 KiB blocks, a folder
    // or link one block.
    std::uint64_t diskBytes = 0;
    // The size of the partition that holds the volume, where the listing
    // tells it: the smaller of the partition's size in the image and the
    // size the volume header claims.
    std::optional<std::uint64_t> partitionBytes;

    static VolumeSize of(std::string_view listing);
};

// Throws CommandFailure, saying the image is too large for the free space,
// when the volume lists more than its partition can hold (files sharing one
// range of blocks) or needs more than may be written into the folder's file
// system (free space less a reserve, under a cap).
void checkRoomFor(const VolumeSize& size, const std::filesystem::path& folder);

} // namespace tavik::hdiutil
