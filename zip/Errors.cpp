#include "zip/Errors.hpp"

namespace tavik::zip {

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
