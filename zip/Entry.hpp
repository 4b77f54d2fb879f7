#pragma once

#include "zip/Records.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace tavik::zip {

enum class EntryType {
    file,
    directory,
    symlink,
};

// "file", "directory" or "symlink".
const char* typeName(EntryType type);

enum class CompressionMethod : uint16_t {
    none = 0,
    deflate = 8,
};

// One entry of an archive, as its central directory and local header
// describe it. A plain value: it stays valid after the archive is gone.
class Entry {
public:
    using EntryType = zip::EntryType;

    Entry(CentralDirectoryStructure centralDirectoryStructure, LocalFileHeader localFileHeader,
        std::optional<DataDescriptor> dataDescriptor);

    // The entry's path inside the archive, '/'-separated; empty when its bytes
    // do not decode.
    const std::string& path() const { return path_; }
    EntryType type() const;
    // The permission bits the extracted item gets (no file-type bits).
    mode_t permissions() const;
    std::chrono::system_clock::time_point modificationDate() const;
    // The sizes the central directory records (its ZIP64 values where it has them).
    uint64_t compressedSize() const { return centralDirectoryStructure_.compressedSize64; }
    uint64_t uncompressedSize() const { return centralDirectoryStructure_.uncompressedSize64; }
    uint64_t localHeaderOffset() const { return centralDirectoryStructure_.relativeOffsetOfLocalHeader64; }
    uint32_t checksum() const { return centralDirectoryStructure_.crc32; }
    // The raw compression method of the local header (0 stored, 8 deflated).
    uint16_t compressionMethod() const { return localFileHeader_.compressionMethod; }
    // Where the entry's data begins in the archive file.
    uint64_t dataOffset() const;

    const CentralDirectoryStructure& centralDirectoryStructure() const { return centralDirectoryStructure_; }
    const LocalFileHeader& localFileHeader() const { return localFileHeader_; }
    const std::optional<DataDescriptor>& dataDescriptor() const { return dataDescriptor_; }

    // Same path, same local checksum, same local header offset.
    bool operator==(const Entry& other) const;

private:
    uint8_t hostSystem() const { return static_cast<uint8_t>(centralDirectoryStructure_.versionMadeBy >> 8); }
    bool isUnixMade() const { return hostSystem() == 3 || hostSystem() == 19; }

    CentralDirectoryStructure centralDirectoryStructure_;
    LocalFileHeader localFileHeader_;
    std::optional<DataDescriptor> dataDescriptor_;
    std::string path_;
};

} // namespace tavik::zip
