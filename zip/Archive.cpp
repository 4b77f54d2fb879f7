#include "zip/Archive.hpp"

#include "zip/Inflater.hpp"
#include "zip/Attributes.hpp"
#include "zip/Limits.hpp"

#include "platform/strings/UTF8.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <string_view>
#include <utility>
#include <vector>

namespace tavik::zip {

namespace {

constexpr uint64_t endRecordSearchLimit = 65999;
constexpr uint16_t encryptedFlag = 0x0001;
constexpr uint16_t dataDescriptorFlag = 0x0008;
// 4.5: ZIP64 extensions; later versions need methods or encryption not read here.
constexpr uint16_t newestSupportedVersion = 45;
// Longest link target accepted (PATH_MAX less the terminator).
constexpr uint64_t maximumLinkTargetLength = 4095;

} // namespace

Archive::Archive(URL url, ArchiveFile file, EndOfCentralDirectoryRecord endRecord, CentralDirectory centralDirectory,
    bool zip64)
    : url_(std::move(url))
    , file_(std::move(file))
    , endRecord_(std::move(endRecord))
    , centralDirectory_(centralDirectory)
    , zip64_(zip64)
{
}

namespace {

// The central directory of an archive whose end record is at endOffset: from
// the 64-bit end record when a locator precedes the end record, else from the
// end record itself. Nothing for an archive on several disks, or for a 64-bit
// end record that is missing, damaged, or not where its locator and the
// central directory leave room for it.
std::optional<std::pair<Archive::CentralDirectory, bool>> findCentralDirectory(ArchiveFile& file,
    const EndOfCentralDirectoryRecord& endRecord, uint64_t endOffset)
{
    using Locator = Zip64EndOfCentralDirectoryLocator;
    using Zip64Record = Zip64EndOfCentralDirectoryRecord;
    std::optional<Locator> locator;
    if (endOffset >= Locator::size)
        locator = Locator::read(file, endOffset - Locator::size);
    if (!locator) {
        if (endRecord.numberOfDisk != 0 || endRecord.numberOfDiskStart != 0
            || endRecord.totalNumberOfEntriesOnDisk != endRecord.totalNumberOfEntriesInCentralDirectory)
            return std::nullopt;
        return std::pair {Archive::CentralDirectory {endRecord.offsetToStartOfCentralDirectory,
                              endRecord.sizeOfCentralDirectory, endRecord.totalNumberOfEntriesInCentralDirectory},
            false};
    }
    if (locator->numberOfDiskWithZip64EndRecord != 0 || locator->totalNumberOfDisks > 1)
        return std::nullopt;
    uint64_t locatorOffset = endOffset - Locator::size;
    uint64_t recordOffset = locator->relativeOffsetOfZip64EndRecord;
    if (recordOffset > locatorOffset || locatorOffset - recordOffset < Zip64Record::size)
        return std::nullopt;
    auto record = Zip64Record::read(file, recordOffset);
    if (!record || record->numberOfDisk != 0 || record->numberOfDiskStart != 0
        || record->totalNumberOfEntriesOnDisk != record->totalNumberOfEntriesInCentralDirectory)
        return std::nullopt;
    // The directory lies before the record that describes it.
    if (record->offsetToStartOfCentralDirectory > recordOffset
        || recordOffset - record->offsetToStartOfCentralDirectory < record->sizeOfCentralDirectory)
        return std::nullopt;
    return std::pair {Archive::CentralDirectory {record->offsetToStartOfCentralDirectory, record->sizeOfCentralDirectory,
                          record->totalNumberOfEntriesInCentralDirectory},
        true};
}

// Whether a path stays within ArchiveLimits' length and depth.
bool isWithinPathLimits(std::string_view path)
{
    if (path.size() > ArchiveLimits::maximumPathLength)
        return false;
    size_t depth = 0;
    bool inComponent = false;
    for (char character : path) {
        if (character == '/') {
            inComponent = false;
        } else if (!inComponent) {
            inComponent = true;
            ++depth;
        }
    }
    return depth <= ArchiveLimits::maximumPathDepth;
}

} // namespace

Result<Archive> Archive::open(const URL& url)
{
    auto unreadable = [&] { return ArchiveError::make(ArchiveError::Code::unreadableArchive, url.path().string()); };
    int fd = ::open(url.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return FileError::fromErrno(errno, url.path(), false);
    ArchiveFile file(fd);
    uint64_t size = file.size();
    if (size < EndOfCentralDirectoryRecord::size)
        return ArchiveError::make(ArchiveError::Code::missingEndOfCentralDirectoryRecord, url.path().string());

    // Look for the record's signature from the end backwards; the first one
    // found decides.
    uint64_t tailLength = std::min(size, endRecordSearchLimit);
    std::vector<std::byte> tail(tailLength);
    if (!file.readExactly(size - tailLength, tail))
        return unreadable();
    for (uint64_t distance = EndOfCentralDirectoryRecord::size; distance <= tailLength; ++distance) {
        const std::byte* candidate = tail.data() + (tailLength - distance);
        if (readUInt32(candidate) != EndOfCentralDirectoryRecord::endOfCentralDirectorySignature)
            continue;
        auto record = EndOfCentralDirectoryRecord::read(file, size - distance);
        if (!record)
            return unreadable();
        auto directory = findCentralDirectory(file, *record, size - distance);
        if (!directory)
            return unreadable();
        return Archive(url, std::move(file), std::move(*record), directory->first, directory->second);
    }
    return ArchiveError::make(ArchiveError::Code::missingEndOfCentralDirectoryRecord, url.path().string());
}

std::optional<Entry> Archive::nextEntry(Cursor& cursor)
{
    if (cursor.stoppedEarly || cursor.count >= centralDirectory_.entryCount)
        return std::nullopt;
    if (cursor.count == 0 && cursor.position == 0) {
        if (centralDirectory_.entryCount > ArchiveLimits::maximumEntryCount) {
            cursor.stoppedEarly = ArchiveError::make(ArchiveError::Code::tooManyEntries);
            return std::nullopt;
        }
        cursor.position = centralDirectory_.offset;
    }

    auto structure = CentralDirectoryStructure::read(file_, cursor.position);
    if (!structure) {
        cursor.stoppedEarly = ArchiveError::make(ArchiveError::Code::unreadableArchive);
        return std::nullopt;
    }
    // Checked on the raw name, before anything else of the entry is read.
    if (!isWithinPathLimits(structure->fileNameData)) {
        constexpr size_t shownLength = 200;
        cursor.stoppedEarly = ArchiveError::make(ArchiveError::Code::entryPathTooLong,
            structure->fileNameData.substr(0, shownLength) + (structure->fileNameData.size() > shownLength ? "..." : ""));
        return std::nullopt;
    }
    auto header = LocalFileHeader::read(file_, structure->relativeOffsetOfLocalHeader64);
    if (!header) {
        cursor.stoppedEarly = ArchiveError::make(ArchiveError::Code::unreadableArchive,
            Entry(*structure, LocalFileHeader {}, std::nullopt).path());
        return std::nullopt;
    }
    cursor.listBytes += structure->recordLength() + header->fileNameLength + header->extraFieldLength;
    if (cursor.listBytes > ArchiveLimits::maximumEntryListBytes) {
        cursor.stoppedEarly = ArchiveError::make(ArchiveError::Code::tooManyEntries);
        return std::nullopt;
    }
    std::optional<DataDescriptor> descriptor;
    if (structure->generalPurposeBitFlag & dataDescriptorFlag) {
        uint64_t dataSize = structure->compressionMethod != 0 ? structure->compressedSize64 : structure->uncompressedSize64;
        uint64_t offset = structure->relativeOffsetOfLocalHeader64 + LocalFileHeader::size + header->fileNameLength
            + header->extraFieldLength + dataSize;
        descriptor = DataDescriptor::read(file_, offset, header->hasZip64ExtraField);
    }
    uint64_t recordLength = structure->recordLength();
    bool refused = structure->versionNeededToExtract > newestSupportedVersion
        || (structure->generalPurposeBitFlag & encryptedFlag);
    Entry entry(std::move(*structure), std::move(*header), std::move(descriptor));
    if (refused) {
        cursor.stoppedEarly = ArchiveError::make(ArchiveError::Code::unreadableArchive, entry.path());
        return std::nullopt;
    }
    cursor.position += recordLength;
    ++cursor.count;
    return entry;
}

Archive::Iterator Archive::begin()
{
    return Iterator(this);
}

Archive::Iterator::Iterator(Archive* archive)
    : archive_(archive)
{
    current_ = archive_->nextEntry(cursor_);
}

Archive::Iterator& Archive::Iterator::operator++()
{
    current_ = archive_->nextEntry(cursor_);
    return *this;
}

std::vector<Entry> Archive::entries()
{
    std::vector<Entry> result;
    for (const Entry& entry : *this)
        result.push_back(entry);
    return result;
}

Result<void> Archive::forEachEntry(const std::function<IterationDecision(const Entry&)>& body)
{
    Cursor cursor;
    while (auto entry = nextEntry(cursor)) {
        if (body(*entry) == IterationDecision::stop)
            return {};
    }
    if (cursor.stoppedEarly)
        return cursor.stoppedEarly;
    return {};
}

Result<void> Archive::streamData(const Entry& entry, const DataConsumer& consumer, size_t chunkSize)
{
    if (chunkSize == 0)
        chunkSize = defaultChunkSize;
    switch (entry.compressionMethod()) {
    case static_cast<uint16_t>(CompressionMethod::none):
        return streamStored(entry, consumer, chunkSize);
    case static_cast<uint16_t>(CompressionMethod::deflate):
        return streamDeflated(entry, consumer, chunkSize);
    default:
        return ArchiveError::make(ArchiveError::Code::invalidCompressionMethod, entry.path());
    }
}

Result<void> Archive::streamStored(const Entry& entry, const DataConsumer& consumer, size_t chunkSize)
{
    // Never read past the recorded size; a file that ends sooner is unreadable.
    uint64_t offset = entry.dataOffset();
    uint64_t remaining = entry.uncompressedSize();
    std::vector<std::byte> buffer(static_cast<size_t>(std::min<uint64_t>(chunkSize, remaining)));
    while (remaining > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(chunkSize, remaining));
        if (file_.read(offset, std::span(buffer.data(), want)) != static_cast<int64_t>(want))
            return DataError::make(DataError::Code::unreadableFile, entry.path());
        TAVIK_TRY_VOID(consumer(std::span<const std::byte>(buffer.data(), want)));
        offset += want;
        remaining -= want;
    }
    return {};
}

Result<void> Archive::streamDeflated(const Entry& entry, const DataConsumer& consumer, size_t chunkSize)
{
    auto corrupted = [&] { return CompressionError::make(CompressionError::Code::corruptedData, entry.path()); };
    auto inflater = Inflater::make();
    if (!inflater)
        return CompressionError::make(CompressionError::Code::invalidStream, entry.path());
    std::vector<std::byte> input(chunkSize);
    std::vector<std::byte> output(chunkSize);
    uint64_t offset = entry.dataOffset();
    uint64_t remainingInput = entry.compressedSize();
    uint64_t uncompressedSize = entry.uncompressedSize();
    uint64_t produced = 0;
    size_t filled = 0;
    for (;;) {
        if (inflater->availableInput() == 0 && remainingInput > 0) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(chunkSize, remainingInput));
            if (file_.read(offset, std::span(input.data(), want)) != static_cast<int64_t>(want))
                return DataError::make(DataError::Code::unreadableFile, entry.path());
            inflater->setInput(input.data(), want);
            offset += want;
            remainingInput -= want;
        }
        size_t inputBefore = inflater->availableInput();
        size_t count = 0;
        auto status = inflater->inflate(output.data() + filled, chunkSize - filled, count);
        if (status == Inflater::Status::corrupt)
            return corrupted();
        filled += count;
        produced += count;
        // More output than the entry claims is a corrupt (or hostile) stream.
        if (produced > uncompressedSize)
            return corrupted();
        bool ended = status == Inflater::Status::streamEnd;
        if (filled == chunkSize || (ended && filled > 0)) {
            TAVIK_TRY_VOID(consumer(std::span<const std::byte>(output.data(), filled)));
            filled = 0;
        }
        if (ended)
            break;
        bool stalled = count == 0 && inflater->availableInput() == inputBefore;
        if (stalled && (remainingInput == 0 || inputBefore > 0))
            return corrupted();
    }
    if (produced != uncompressedSize)
        return corrupted();
    return {};
}

Result<std::string> Archive::readLinkTarget(const Entry& entry)
{
    auto invalid = [&] { return ArchiveError::make(ArchiveError::Code::invalidEntryPath, entry.path()); };
    if (entry.uncompressedSize() > maximumLinkTargetLength)
        return invalid();
    std::string target;
    TAVIK_TRY_VOID(streamData(
        entry,
        [&](std::span<const std::byte> chunk) -> Result<void> {
            target.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
            return {};
        },
        defaultChunkSize));
    if (target.empty() || target.find('\0') != std::string::npos || !isValidUTF8(target))
        return invalid();
    return target;
}

Result<void> Archive::read(const Entry& entry, const DataConsumer& consumer, size_t chunkSize)
{
    switch (entry.type()) {
    case EntryType::directory:
        return consumer({});
    case EntryType::symlink: {
        auto target = TAVIK_TRY(readLinkTarget(entry));
        return consumer(std::as_bytes(std::span(target.data(), target.size())));
    }
    case EntryType::file:
        break;
    }
    return streamData(entry, consumer, chunkSize);
}

Result<void> Archive::extract(const Entry& entry, const URL& destination, size_t chunkSize)
{
    namespace fs = std::filesystem;
    const fs::path& path = destination.path();
    std::error_code error;
    auto type = entry.type();
    switch (type) {
    case EntryType::file: {
        // A dangling symbolic link counts as nothing here.
        if (fs::exists(path, error))
            return FileError::make(FileError::Code::fileWriteFileExists, path);
        fs::create_directories(path.parent_path(), error);
        if (error)
            return FileError::fromErrno(error.value(), path.parent_path(), true);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return FileError::make(FileError::Code::fileNoSuchFile, path, errno);
        auto written = read(entry, writingTo(fd, path.string()), chunkSize);
        ::close(fd);
        TAVIK_TRY_VOID(written);
        break;
    }
    case EntryType::directory:
        fs::create_directories(path, error);
        if (error)
            return FileError::fromErrno(error.value(), path, true);
        break;
    case EntryType::symlink: {
        if (fs::exists(fs::symlink_status(path, error)))
            return FileError::make(FileError::Code::fileWriteFileExists, path);
        auto target = TAVIK_TRY(readLinkTarget(entry));
        fs::create_directories(path.parent_path(), error);
        if (error)
            return FileError::fromErrno(error.value(), path.parent_path(), true);
        if (::symlink(target.c_str(), path.c_str()) != 0)
            return FileError::fromErrno(errno, path, true);
        break;
    }
    }
    return applyAttributes(AT_FDCWD, path.c_str(), type, entry.permissions(), entry.modificationDate(), path);
}

} // namespace tavik::zip
