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

// Sits right before the end record of an archive that needs 64-bit counts,
// sizes or offsets, and tells where the 64-bit end record lies.
struct Zip64EndOfCentralDirectoryLocator {
    static constexpr uint32_t zip64EndOfCentralDirectoryLocatorSignature = 0x07064b50;
    static constexpr size_t size = 20;

    uint32_t numberOfDiskWithZip64EndRecord = 0;
    uint64_t relativeOffsetOfZip64EndRecord = 0;
    uint32_t totalNumberOfDisks = 0;

    static std::optional<Zip64EndOfCentralDirectoryLocator> read(ArchiveFile& file, uint64_t offset);
};

// The 64-bit end record. Its extensible data (after the fixed 56 bytes) is
// not read.
struct Zip64EndOfCentralDirectoryRecord {
    static constexpr uint32_t zip64EndOfCentralDirectorySignature = 0x06064b50;
    static constexpr size_t size = 56;

    uint64_t sizeOfZip64EndOfCentralDirectoryRecord = 0;
    uint16_t versionMadeBy = 0;
    uint16_t versionNeededToExtract = 0;
    uint32_t numberOfDisk = 0;
    uint32_t numberOfDiskStart = 0;
    uint64_t totalNumberOfEntriesOnDisk = 0;
    uint64_t totalNumberOfEntriesInCentralDirectory = 0;
    uint64_t sizeOfCentralDirectory = 0;
    uint64_t offsetToStartOfCentralDirectory = 0;

    static std::optional<Zip64EndOfCentralDirectoryRecord> read(ArchiveFile& file, uint64_t offset);
};

// A 16- or 32-bit field holding all ones says that the real value is in the
// ZIP64 extended information extra field (or the 64-bit end record).
inline constexpr uint32_t zip64Marker32 = 0xFFFFFFFF;
inline constexpr uint16_t zip64Marker16 = 0xFFFF;
inline constexpr uint16_t zip64ExtraFieldID = 0x0001;

// The fields a central directory record and a local header share, in the
// same order and layout in both (26 bytes from the version needed).
struct EntryFields {
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

    // The sizes, from the ZIP64 extra field where the fixed fields hold the
    // marker (see each record for when the field may be left out).
    uint64_t compressedSize64 = 0;
    uint64_t uncompressedSize64 = 0;

    void readSharedFields(const std::byte* fields);
};

struct CentralDirectoryStructure : EntryFields {
    static constexpr uint32_t centralDirectorySignature = 0x02014b50;
    static constexpr size_t size = 46;

    uint16_t versionMadeBy = 0;
    uint16_t fileCommentLength = 0;
    uint16_t diskNumberStart = 0;
    uint16_t internalFileAttributes = 0;
    uint32_t externalFileAttributes = 0;
    uint32_t relativeOffsetOfLocalHeader = 0;
    std::string fileCommentData;

    // The local header offset, from the ZIP64 extra field where the fixed
    // field holds the marker. A record whose marked fields are missing from
    // that field does not read.
    uint64_t relativeOffsetOfLocalHeader64 = 0;

    // The whole record's length on disk.
    uint64_t recordLength() const { return size + fileNameLength + extraFieldLength + fileCommentLength; }

    static std::optional<CentralDirectoryStructure> read(ArchiveFile& file, uint64_t offset);
};

// A header followed by a data descriptor may leave the ZIP64 extra field out.
struct LocalFileHeader : EntryFields {
    static constexpr uint32_t localFileHeaderSignature = 0x04034b50;
    static constexpr size_t size = 30;

    // Whether the header carries a ZIP64 extra field, which makes its data
    // descriptor's sizes 8 bytes long.
    bool hasZip64ExtraField = false;

    static std::optional<LocalFileHeader> read(ArchiveFile& file, uint64_t offset);
};

// Follows an entry's data when bit 3 of its flags is set. Always 16 bytes
// are read (24 for an entry with ZIP64 sizes, whose sizes are 8 bytes
// long); the leading signature is optional.
struct DataDescriptor {
    static constexpr uint32_t dataDescriptorSignature = 0x08074b50;
    static constexpr size_t size = 16;
    static constexpr size_t zip64Size = 24;

    uint32_t crc32 = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    std::string data;

    static std::optional<DataDescriptor> read(ArchiveFile& file, uint64_t offset, bool zip64 = false);
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

inline uint64_t readUInt64(const std::byte* bytes)
{
    return static_cast<uint64_t>(readUInt32(bytes)) | (static_cast<uint64_t>(readUInt32(bytes + 4)) << 32);
}

} // namespace tavik::zip
