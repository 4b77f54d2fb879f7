#include "zip/Records.hpp"

#include "zip/ArchiveFile.hpp"
#include "zip/Text.hpp"

#include <array>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace tavik::zip {

namespace {

// Reads `length` bytes at offset into text; false on a short read.
bool readVariable(ArchiveFile& file, uint64_t offset, size_t length, std::string& into)
{
    into.resize(length);
    return file.readExactly(offset, std::as_writable_bytes(std::span(into.data(), into.size())));
}

// Reads the 64-bit values of the ZIP64 extra field into the given fields,
// in the field's order, one for each field that `marked` says is wanted;
// false when the extra field is missing or too short for them.
bool readZip64Values(std::string_view extraField, std::initializer_list<std::pair<bool, uint64_t*>> fields)
{
    bool anyMarked = false;
    for (auto [marked, value] : fields)
        anyMarked = anyMarked || marked;
    if (!anyMarked)
        return true;
    auto data = findExtraField(extraField, zip64ExtraFieldID);
    if (!data)
        return false;
    const auto* bytes = reinterpret_cast<const std::byte*>(data->data());
    size_t used = 0;
    for (auto [marked, value] : fields) {
        if (!marked)
            continue;
        if (data->size() - used < 8)
            return false;
        *value = readUInt64(bytes + used);
        used += 8;
    }
    return true;
}

} // namespace

std::optional<Zip64EndOfCentralDirectoryLocator> Zip64EndOfCentralDirectoryLocator::read(ArchiveFile& file, uint64_t offset)
{
    std::array<std::byte, size> fixed;
    if (!file.readExactly(offset, fixed) || readUInt32(&fixed[0]) != zip64EndOfCentralDirectoryLocatorSignature)
        return std::nullopt;
    Zip64EndOfCentralDirectoryLocator locator;
    locator.numberOfDiskWithZip64EndRecord = readUInt32(&fixed[4]);
    locator.relativeOffsetOfZip64EndRecord = readUInt64(&fixed[8]);
    locator.totalNumberOfDisks = readUInt32(&fixed[16]);
    return locator;
}

std::optional<Zip64EndOfCentralDirectoryRecord> Zip64EndOfCentralDirectoryRecord::read(ArchiveFile& file, uint64_t offset)
{
    std::array<std::byte, size> fixed;
    if (!file.readExactly(offset, fixed) || readUInt32(&fixed[0]) != zip64EndOfCentralDirectorySignature)
        return std::nullopt;
    Zip64EndOfCentralDirectoryRecord record;
    record.sizeOfZip64EndOfCentralDirectoryRecord = readUInt64(&fixed[4]);
    record.versionMadeBy = readUInt16(&fixed[12]);
    record.versionNeededToExtract = readUInt16(&fixed[14]);
    record.numberOfDisk = readUInt32(&fixed[16]);
    record.numberOfDiskStart = readUInt32(&fixed[20]);
    record.totalNumberOfEntriesOnDisk = readUInt64(&fixed[24]);
    record.totalNumberOfEntriesInCentralDirectory = readUInt64(&fixed[32]);
    record.sizeOfCentralDirectory = readUInt64(&fixed[40]);
    record.offsetToStartOfCentralDirectory = readUInt64(&fixed[48]);
    // The record's own size counts what follows its first 12 bytes.
    if (record.sizeOfZip64EndOfCentralDirectoryRecord < size - 12)
        return std::nullopt;
    return record;
}

std::optional<EndOfCentralDirectoryRecord> EndOfCentralDirectoryRecord::read(ArchiveFile& file, uint64_t offset)
{
    std::array<std::byte, size> fixed;
    if (!file.readExactly(offset, fixed) || readUInt32(&fixed[0]) != endOfCentralDirectorySignature)
        return std::nullopt;
    EndOfCentralDirectoryRecord record;
    record.numberOfDisk = readUInt16(&fixed[4]);
    record.numberOfDiskStart = readUInt16(&fixed[6]);
    record.totalNumberOfEntriesOnDisk = readUInt16(&fixed[8]);
    record.totalNumberOfEntriesInCentralDirectory = readUInt16(&fixed[10]);
    record.sizeOfCentralDirectory = readUInt32(&fixed[12]);
    record.offsetToStartOfCentralDirectory = readUInt32(&fixed[16]);
    record.zipFileCommentLength = readUInt16(&fixed[20]);
    if (!readVariable(file, offset + size, record.zipFileCommentLength, record.zipFileCommentData))
        return std::nullopt;
    return record;
}

void EntryFields::readSharedFields(const std::byte* fields)
{
    versionNeededToExtract = readUInt16(&fields[0]);
    generalPurposeBitFlag = readUInt16(&fields[2]);
    compressionMethod = readUInt16(&fields[4]);
    lastModFileTime = readUInt16(&fields[6]);
    lastModFileDate = readUInt16(&fields[8]);
    crc32 = readUInt32(&fields[10]);
    compressedSize = readUInt32(&fields[14]);
    uncompressedSize = readUInt32(&fields[18]);
    fileNameLength = readUInt16(&fields[22]);
    extraFieldLength = readUInt16(&fields[24]);
}

std::optional<CentralDirectoryStructure> CentralDirectoryStructure::read(ArchiveFile& file, uint64_t offset)
{
    std::array<std::byte, size> fixed;
    if (!file.readExactly(offset, fixed) || readUInt32(&fixed[0]) != centralDirectorySignature)
        return std::nullopt;
    CentralDirectoryStructure record;
    record.versionMadeBy = readUInt16(&fixed[4]);
    record.readSharedFields(&fixed[6]);
    record.fileCommentLength = readUInt16(&fixed[32]);
    record.diskNumberStart = readUInt16(&fixed[34]);
    record.internalFileAttributes = readUInt16(&fixed[36]);
    record.externalFileAttributes = readUInt32(&fixed[38]);
    record.relativeOffsetOfLocalHeader = readUInt32(&fixed[42]);

    std::string variable;
    size_t variableLength = size_t {record.fileNameLength} + record.extraFieldLength + record.fileCommentLength;
    if (!readVariable(file, offset + size, variableLength, variable))
        return std::nullopt;
    record.fileNameData = variable.substr(0, record.fileNameLength);
    record.extraFieldData = variable.substr(record.fileNameLength, record.extraFieldLength);
    record.fileCommentData = variable.substr(size_t {record.fileNameLength} + record.extraFieldLength);

    record.uncompressedSize64 = record.uncompressedSize;
    record.compressedSize64 = record.compressedSize;
    record.relativeOffsetOfLocalHeader64 = record.relativeOffsetOfLocalHeader;
    uint64_t diskNumberStart64 = 0;
    if (!readZip64Values(record.extraFieldData,
            {{record.uncompressedSize == zip64Marker32, &record.uncompressedSize64},
                {record.compressedSize == zip64Marker32, &record.compressedSize64},
                {record.relativeOffsetOfLocalHeader == zip64Marker32, &record.relativeOffsetOfLocalHeader64},
                {record.diskNumberStart == zip64Marker16, &diskNumberStart64}}))
        return std::nullopt;
    return record;
}

std::optional<LocalFileHeader> LocalFileHeader::read(ArchiveFile& file, uint64_t offset)
{
    std::array<std::byte, size> fixed;
    if (!file.readExactly(offset, fixed) || readUInt32(&fixed[0]) != localFileHeaderSignature)
        return std::nullopt;
    LocalFileHeader record;
    record.readSharedFields(&fixed[4]);

    std::string variable;
    if (!readVariable(file, offset + size, size_t {record.fileNameLength} + record.extraFieldLength, variable))
        return std::nullopt;
    record.fileNameData = variable.substr(0, record.fileNameLength);
    record.extraFieldData = variable.substr(record.fileNameLength);

    record.uncompressedSize64 = record.uncompressedSize;
    record.compressedSize64 = record.compressedSize;
    auto zip64 = findExtraField(record.extraFieldData, zip64ExtraFieldID);
    record.hasZip64ExtraField = zip64.has_value();
    if (zip64 && zip64->size() >= 16) {
        // A local header's field holds both sizes, whichever were marked.
        const auto* bytes = reinterpret_cast<const std::byte*>(zip64->data());
        record.uncompressedSize64 = readUInt64(bytes);
        record.compressedSize64 = readUInt64(bytes + 8);
    } else {
        (void)readZip64Values(record.extraFieldData,
            {{record.uncompressedSize == zip64Marker32, &record.uncompressedSize64},
                {record.compressedSize == zip64Marker32, &record.compressedSize64}});
    }
    return record;
}

std::optional<DataDescriptor> DataDescriptor::read(ArchiveFile& file, uint64_t offset, bool zip64)
{
    std::array<std::byte, zip64Size> bytes;
    std::span<std::byte> wanted(bytes.data(), zip64 ? zip64Size : size);
    if (!file.readExactly(offset, wanted))
        return std::nullopt;
    DataDescriptor descriptor;
    const std::byte* fields = readUInt32(&bytes[0]) == dataDescriptorSignature ? &bytes[4] : &bytes[0];
    descriptor.crc32 = readUInt32(fields);
    if (zip64) {
        descriptor.compressedSize = readUInt64(fields + 4);
        descriptor.uncompressedSize = readUInt64(fields + 12);
    } else {
        descriptor.compressedSize = readUInt32(fields + 4);
        descriptor.uncompressedSize = readUInt32(fields + 8);
    }
    descriptor.data.assign(reinterpret_cast<const char*>(wanted.data()), wanted.size());
    return descriptor;
}

} // namespace tavik::zip
