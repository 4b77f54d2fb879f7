#include "zip/Errors.hpp"

#include <cstdio>
#include <iterator>

namespace tavik::zip {

namespace {

// "512 bytes", "3.2 MiB", "2.0 GiB".
std::string formatBytes(uint64_t bytes)
{
    static constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " bytes";
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    for (value /= 1024; value >= 1024 && unit + 1 < std::size(units); value /= 1024)
        ++unit;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

} // namespace

std::string InsufficientSpaceError::description() const
{
    return "The archive is too large for the free space: its contents need " + formatBytes(neededBytes_) + ", but only "
        + formatBytes(allowedBytes_) + " may be written in " + folder_ + ".";
}

std::string ArchiveError::description() const
{
    switch (errorCode()) {
    case Code::unreadableArchive:
        return "The archive could not be read.";
    case Code::unwritableArchive:
        return "The archive could not be written.";
    case Code::invalidEntryPath:
        return "The entry path is invalid.";
    case Code::invalidCompressionMethod:
        return "The entry uses an unsupported compression method.";
    case Code::invalidStartOfCentralDirectoryOffset:
        return "The central directory offset is invalid.";
    case Code::missingEndOfCentralDirectoryRecord:
        return "The end of central directory record is missing.";
    case Code::cancelledOperation:
        return "The operation was cancelled.";
    case Code::tooManyEntries:
        return "The archive lists more entries than can be extracted.";
    case Code::entryPathTooLong:
        return "The entry path is too long or too deeply nested.";
    }
    return "The archive could not be used.";
}

std::string CompressionError::description() const
{
    switch (errorCode()) {
    case Code::invalidStream:
        return "The decompression stream could not be set up.";
    case Code::corruptedData:
        return "The compressed data is corrupted.";
    }
    return "The compressed data could not be decoded.";
}

std::string DataError::description() const
{
    switch (errorCode()) {
    case Code::unreadableFile:
        return "The entry's data could not be read.";
    case Code::unwritableFile:
        return "The extracted file could not be written.";
    }
    return "The data could not be used.";
}

} // namespace tavik::zip
