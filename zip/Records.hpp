#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tavik::zip {

class ArchiveFile;

// The on-disk records of a ZIP archive. Each reads its fixed part with one
// read of exactly its size and its variable part with one further read; a
// short read or a wrong signature gives nothing.

struct EndOfCentralDirectoryRecord {
    static constexpr uint32_t endOfCentralDirectorySignature = 0x06054b50;
    static constexpr size_t size = 22;

    uint16_t numberOfDisk = 0;
    uint16_t numberOfDiskStart = 0;
    uint16_t totalNumberOfEntriesOnDisk = 0;
    uint16_t totalNumberOfEntriesInCentralDirectory = 0;
    uint32_t sizeOfCentralDirectory = 0;
    uint32_t offsetToStartOfCentralDirectory = 0;
    uint16_t zipFileCommentLength = 0;
    std::string zipFileCommentData;

    static std::optional<EndOfCentralDirectoryRecord> read(ArchiveFile& file, uint64_t offset);
};

struct CentralDirectoryStructure {
    static constexpr uint32_t centralDirectorySignature = 0x02014b50;
    static constexpr size_t size = 46;

    uint16_t versionMadeBy = 0;
    uint16_t versionNeededToExtract = 0;
    uint16_t generalPurposeBitFlag = 0;
    uint16_t compressionMethod = 0;
    uint16_t lastModFileTime = 0;
    uint16_t lastModFileDate = 0;
    uint32_t crc32 = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint16_t fileNameLength = 0;
    uint16_t extraFieldLength = 0;
    uint16_t fileCommentLength = 0;
    uint16_t diskNumberStart = 0;
    uint16_t internalFileAttributes = 0;
    uint32_t externalFileAttributes = 0;
    uint32_t relativeOffsetOfLocalHeader = 0;
    std::string fileNameData;
    std::string extraFieldData;
    std::string fileCommentData;

    // The whole record's length on disk.
    uint64_t recordLength() const { return size + fileNameLength + extraFieldLength + fileCommentLength; }

    static std::optional<CentralDirectoryStructure> read(ArchiveFile& file, uint64_t offset);
};

struct LocalFileHeader {
    static constexpr uint32_t localFileHeaderSignature = 0x04034b50;
    static constexpr size_t size = 30;

    uint16_t versionNeededToExtract = 0;
    uint16_t generalPurposeBitFlag = 0;
    uint16_t compressionMethod = 0;
    uint16_t lastModFileTime = 0;
    uint16_t lastModFileDate = 0;
    uint32_t crc32 = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    uint16_t fileNameLength = 0;
    uint16_t extraFieldLength = 0;
    std::string fileNameData;
    std::string extraFieldData;

    static std::optional<LocalFileHeader> read(ArchiveFile& file, uint64_t offset);
};

// Follows an entry's data when bit 3 of its flags is set. Always 16 bytes
// are read; the leading signature is optional.
struct DataDescriptor {
    static constexpr uint32_t dataDescriptorSignature = 0x08074b50;
    static constexpr size_t size = 16;

    uint32_t crc32 = 0;
    uint32_t compressedSize = 0;
    uint32_t uncompressedSize = 0;
    std::string data;

    static std::optional<DataDescriptor> read(ArchiveFile& file, uint64_t offset);
};

// Little-endian field access.
inline uint16_t readUInt16(const std::byte* bytes)
{
    return static_cast<uint16_t>(std::to_integer<uint16_t>(bytes[0]) | (std::to_integer<uint16_t>(bytes[1]) << 8));
}

inline uint32_t readUInt32(const std::byte* bytes)
{
    return static_cast<uint32_t>(readUInt16(bytes)) | (static_cast<uint32_t>(readUInt16(bytes + 2)) << 16);
}

} // namespace tavik::zip
