#include "zip/Entry.hpp"

#include "zip/Text.hpp"

#include "platform/strings/UTF8.hpp"

#include <ctime>
#include <sys/stat.h>

namespace tavik::zip {

namespace {

constexpr uint16_t utf8NameFlag = 0x0800;
constexpr uint16_t extendedTimestampID = 0x5455;

std::string decodePath(const CentralDirectoryStructure& structure, bool unixMade)
{
    const std::string& bytes = structure.fileNameData;
    if (structure.generalPurposeBitFlag & utf8NameFlag)
        return isValidUTF8(bytes) ? bytes : std::string();
    // Unix archivers store a name's bytes as the file system has them, which
    // is UTF-8 on any current system, without setting the UTF-8 flag. Reading
    // those as code page 437 would rename every non-ASCII file; everything
    // else keeps the code page 437 of the format.
    if (unixMade && isValidUTF8(bytes))
        return bytes;
    return decodeCodePage437(bytes);
}

} // namespace

Entry::Entry(CentralDirectoryStructure centralDirectoryStructure, LocalFileHeader localFileHeader,
    std::optional<DataDescriptor> dataDescriptor)
    : centralDirectoryStructure_(std::move(centralDirectoryStructure))
    , localFileHeader_(std::move(localFileHeader))
    , dataDescriptor_(std::move(dataDescriptor))
{
    path_ = decodePath(centralDirectoryStructure_, isUnixMade());
}

EntryType Entry::type() const
{
    bool trailingSlash = !path_.empty() && path_.back() == '/';
    if (isUnixMade()) {
        switch ((centralDirectoryStructure_.externalFileAttributes >> 16) & S_IFMT) {
        case 0:
            // No file type recorded at all: the name is all there is to go by.
            return trailingSlash ? EntryType::directory : EntryType::file;
        case S_IFDIR:
            return EntryType::directory;
        case S_IFLNK:
            return EntryType::symlink;
        default:
            return EntryType::file;
        }
    }
    if (hostSystem() == 0) {
        bool directoryAttribute = (centralDirectoryStructure_.externalFileAttributes & ~uint32_t {0xF}) == 0x10;
        return trailingSlash || directoryAttribute ? EntryType::directory : EntryType::file;
    }
    return trailingSlash ? EntryType::directory : EntryType::file;
}

mode_t Entry::permissions() const
{
    mode_t fallback = type() == EntryType::directory ? 0755 : 0644;
    if (!isUnixMade())
        return fallback;
    mode_t mode = static_cast<mode_t>(centralDirectoryStructure_.externalFileAttributes >> 16) & ~mode_t {S_IFMT};
    return mode != 0 ? mode : fallback;
}

std::chrono::system_clock::time_point Entry::modificationDate() const
{
    // Archivers that know the exact time (and its time zone) record it in the
    // extended timestamp field; the MS-DOS fields have 2-second steps.
    if (auto timestamp = findExtraField(centralDirectoryStructure_.extraFieldData, extendedTimestampID);
        timestamp && timestamp->size() >= 5 && (static_cast<unsigned char>((*timestamp)[0]) & 1)) {
        const auto* bytes = reinterpret_cast<const std::byte*>(timestamp->data() + 1);
        auto seconds = static_cast<int32_t>(readUInt32(bytes));
        return std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
    }
    uint16_t time = centralDirectoryStructure_.lastModFileTime;
    uint16_t date = centralDirectoryStructure_.lastModFileDate;
    std::tm calendar {};
    calendar.tm_sec = (time & 31) * 2;
    calendar.tm_min = (time >> 5) & 63;
    calendar.tm_hour = time >> 11;
    calendar.tm_mday = date & 31;
    calendar.tm_mon = ((date >> 5) & 15) - 1;
    calendar.tm_year = (date >> 9) + 80;
    return std::chrono::system_clock::from_time_t(timegm(&calendar));
}

uint64_t Entry::dataOffset() const
{
    return localHeaderOffset() + LocalFileHeader::size
        + localFileHeader_.fileNameLength + localFileHeader_.extraFieldLength;
}

bool Entry::operator==(const Entry& other) const
{
    return path_ == other.path_ && localFileHeader_.crc32 == other.localFileHeader_.crc32
        && localHeaderOffset() == other.localHeaderOffset();
}

const char* typeName(EntryType type)
{
    switch (type) {
    case EntryType::file:
        return "file";
    case EntryType::directory:
        return "directory";
    case EntryType::symlink:
        return "symlink";
    }
    return "file";
}

} // namespace tavik::zip
