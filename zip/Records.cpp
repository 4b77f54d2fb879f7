#include "zip/Records.hpp"

#include "zip/ArchiveFile.hpp"

#include <array>

namespace tavik::zip {

namespace {

// Reads `length` bytes at offset into text; false on a short read.
bool readVariable(ArchiveFile& file, uint64_t offset, size_t length, std::string& into)
{
    into.resize(length);
    return file.readExactly(offset, std::as_writable_bytes(std::span(into.data(), into.size())));
}

} // namespace

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

std::optional<CentralDirectoryStructure> CentralDirectoryStructure::read(ArchiveFile& file, uint64_t offset)
{
    std::array<std::byte, size> fixed;
    if (!file.readExactly(offset, fixed) || readUInt32(&fixed[0]) != centralDirectorySignature)
        return std::nullopt;
    CentralDirectoryStructure record;
    record.versionMadeBy = readUInt16(&fixed[4]);
    record.versionNeededToExtract = readUInt16(&fixed[6]);
    record.generalPurposeBitFlag = readUInt16(&fixed[8]);
    record.compressionMethod = readUInt16(&fixed[10]);
    record.lastModFileTime = readUInt16(&fixed[12]);
    record.lastModFileDate = readUInt16(&fixed[14]);
    record.crc32 = readUInt32(&fixed[16]);
    record.compressedSize = readUInt32(&fixed[20]);
    record.uncompressedSize = readUInt32(&fixed[24]);
    record.fileNameLength = readUInt16(&fixed[28]);
    record.extraFieldLength = readUInt16(&fixed[30]);
    record.fileCommentLength = readUInt16(&fixed[32]);
    record.diskNumberStart = readUInt16(&fixed[34]);
    record.internalFileAttributes = readUInt16(&fixed[36]);
    record.externalFileAttributes = readUInt32(&fixed[38]);
    record.relativeOffsetOfLocalHeader = readUInt32(&fixed[42]);

    std::string variable;
    size_t variableLength = size_t{record.fileNameLength} + record.extraFieldLength + record.fileCommentLength;
    if (!readVariable(file, offset + size, variableLength, variable))
        return std::nullopt;
    record.fileNameData = variable.substr(0, record.fileNameLength);
    record.extraFieldData = variable.substr(record.fileNameLength, record.extraFieldLength);
    record.fileCommentData = variable.substr(size_t{record.fileNameLength} + record.extraFieldLength);
    return record;
}

std::optional<LocalFileHeader> LocalFileHeader::read(ArchiveFile& file, uint64_t offset)
{
    std::array<std::byte, size> fixed;
    if (!file.readExactly(offset, fixed) || readUInt32(&fixed[0]) != localFileHeaderSignature)
        return std::nullopt;
    LocalFileHeader record;
    record.versionNeededToExtract = readUInt16(&fixed[4]);
    record.generalPurposeBitFlag = readUInt16(&fixed[6]);
    record.compressionMethod = readUInt16(&fixed[8]);
    record.lastModFileTime = readUInt16(&fixed[10]);
    record.lastModFileDate = readUInt16(&fixed[12]);
    record.crc32 = readUInt32(&fixed[14]);
    record.compressedSize = readUInt32(&fixed[18]);
    record.uncompressedSize = readUInt32(&fixed[22]);
    record.fileNameLength = readUInt16(&fixed[26]);
    record.extraFieldLength = readUInt16(&fixed[28]);

    std::string variable;
    if (!readVariable(file, offset + size, size_t{record.fileNameLength} + record.extraFieldLength, variable))
        return std::nullopt;
    record.fileNameData = variable.substr(0, record.fileNameLength);
    record.extraFieldData = variable.substr(record.fileNameLength);
    return record;
}

std::optional<DataDescriptor> DataDescriptor::read(ArchiveFile& file, uint64_t offset)
{
    std::array<std::byte, size> bytes;
    if (!file.readExactly(offset, bytes))
        return std::nullopt;
    DataDescriptor descriptor;
    const std::byte* fields = readUInt32(&bytes[0]) == dataDescriptorSignature ? &bytes[4] : &bytes[0];
    descriptor.crc32 = readUInt32(fields);
    descriptor.compressedSize = readUInt32(fields + 4);
    descriptor.uncompressedSize = readUInt32(fields + 8);
    descriptor.data.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return descriptor;
}

} // namespace tavik::zip
