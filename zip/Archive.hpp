#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"
#include "zip/ArchiveFile.hpp"
#include "zip/Entry.hpp"
#include "zip/Errors.hpp"
#include "zip/ExtractionJournal.hpp"

#include <cstddef>
#include <functional>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tavik::zip {

class ConfinedTree;

enum class IterationDecision {
    continue_,
    stop,
};

// A ZIP archive opened for reading. Holds one open file: its operations must
// not run concurrently.
//
//     auto archive = Archive::open(url);
//     for (const Entry& entry : *archive)
//         archive->extractConfined(entry, root);
class Archive {
public:
    using ArchiveError = zip::ArchiveError;
    enum class AccessMode {
        create,
        read,
        update,
    };

    // What the program streams entry data in.
    static constexpr size_t defaultChunkSize = 16384;
    // Receives an entry's data piece by piece; an error stops the reading and
    // is passed on.
    using DataConsumer = std::function<Result<void>(std::span<const std::byte>)>;

    // Where the central directory lies and how many entries it lists: the
    // end record's values, or the 64-bit end record's in a ZIP64 archive.
    struct CentralDirectory {
        uint64_t offset = 0;
        uint64_t size = 0;
        uint64_t entryCount = 0;
    };

    // Opens an archive for reading. Fails when the file cannot be opened (a
    // FileError), has no end of central directory record in its last 65,999
    // bytes (`missingEndOfCentralDirectoryRecord`), spans several disks, or has
    // a ZIP64 locator whose 64-bit end record is missing or damaged
    // (`unreadableArchive`).
    static Result<Archive> open(const URL& url);

    const URL& url() const { return url_; }
    AccessMode accessMode() const { return AccessMode::read; }
    const EndOfCentralDirectoryRecord& endOfCentralDirectoryRecord() const { return endRecord_; }
    const std::string& comment() const { return endRecord_.zipFileCommentData; }
    const CentralDirectory& centralDirectory() const { return centralDirectory_; }
    // Whether the archive has a 64-bit end record.
    bool isZip64() const { return zip64_; }

    // The entries in central-directory order, read lazily. The walk ends at
    // the last entry, at a damaged record, or before an entry that cannot be
    // read (encrypted, or needing a newer format version): later entries are
    // not produced. An archive beyond ArchiveLimits (too many entries, or an
    // entry list too large) produces nothing from the limit on, and an entry
    // whose path is too long or too deep ends the walk. Each traversal starts
    // again at the beginning.
    class Iterator;
    Iterator begin();
    std::default_sentinel_t end() { return {}; }

    // Every entry the walk produces.
    std::vector<Entry> entries();

    // Walks the entries until the body says stop. Succeeds when the body
    // stopped or every entry was produced; otherwise tells why the walk ended
    // early (`unreadableArchive`, with the refused entry's path if there is one).
    Result<void> forEachEntry(const std::function<IterationDecision(const Entry&)>& body);

    // Extracts one entry at destination, creating parent folders, then gives
    // it the entry's permissions and date. The destination is taken as given
    // (links on the way are followed): for archives from elsewhere use
    // extractConfined.
    Result<void> extract(const Entry& entry, const URL& destination, size_t chunkSize = defaultChunkSize);

    // Extracts one entry at root + its path, never outside root: a path that
    // is absolute or has a ".." component fails with `invalidEntryPath`, and
    // nothing is created or written through a symbolic link (one inside the
    // tree or at the destination itself). Root is created if missing.
    // A journal, when given, records every item this creates, so that the
    // caller can remove them if a later step fails.
    Result<void> extractConfined(const Entry& entry, const URL& root, size_t chunkSize = defaultChunkSize,
        ExtractionJournal* journal = nullptr);

    // Extracts the whole archive confined to root: files and folders in
    // archive order, symbolic links after everything else, folders' dates and
    // permissions last. Nothing is written unless every entry is listed and
    // valid and what they record fits the free space at root (checkFreeSpace).
    // Stops at the first failure with an ExtractionError that names its entry,
    // and removes what it made (root too, when this made it).
    Result<void> extractAll(const URL& root, size_t chunkSize = defaultChunkSize);

    // Called with each entry once it is in place.
    using ExtractedObserver = std::function<void(const Entry&)>;
    // Extracts a set of entries, such as one folder's subtree as a walk
    // listed them, confined to root by the rules of extractAll: nothing is
    // written unless every link target can be read, every path is valid and
    // what the entries record fits the free space at root. Files and folders
    // come first, then the links in extractionOrder, folders' dates and
    // permissions last. Stops at the first failure with an ExtractionError
    // and removes what it made; root itself stays, as others may share it.
    Result<void> extractSubtree(std::span<const Entry> entries, const URL& root, const ExtractedObserver& extracted = {},
        size_t chunkSize = defaultChunkSize);

    // The entries in the order extractSubtree makes them: files and folders
    // in the order given, then the symbolic links, each placed next to the
    // links whose targets it shares. Fails (`invalidEntryPath`) on a link
    // whose target cannot be read or is not a valid path.
    Result<std::vector<Entry>> extractionOrder(std::span<const Entry> entries);

    // Where the entry at entryPath lands below root; `invalidEntryPath` for a
    // path that would leave it.
    static Result<URL> confinedLocation(const std::string& entryPath, const URL& root, bool isDirectory);

    // Hands the entry's data to the consumer: a file's contents in chunks of
    // at most chunkSize bytes, a directory's empty data once, a symbolic
    // link's target in one piece.
    Result<void> read(const Entry& entry, const DataConsumer& consumer, size_t chunkSize = defaultChunkSize);

    struct Cursor {
        uint64_t position = 0;
        uint64_t count = 0;
        // What the walk has read of records so far (ArchiveLimits).
        uint64_t listBytes = 0;
        // Set when the walk ended before the last entry.
        ErrorPtr stoppedEarly;
    };
    // One step of the walk (what the iterator uses).
    std::optional<Entry> nextEntry(Cursor& cursor);

private:
    Archive(URL url, ArchiveFile file, EndOfCentralDirectoryRecord endRecord, CentralDirectory centralDirectory, bool zip64);
    Result<void> streamData(const Entry& entry, const DataConsumer& consumer, size_t chunkSize);
    Result<void> streamStored(const Entry& entry, const DataConsumer& consumer, size_t chunkSize);
    Result<void> streamDeflated(const Entry& entry, const DataConsumer& consumer, size_t chunkSize);
    Result<std::string> readLinkTarget(const Entry& entry);
    Result<void> writeConfined(ConfinedTree& tree, const Entry& entry, const std::vector<std::string>& components,
        size_t chunkSize, bool applyFolderAttributes);
    Result<void> writeEveryEntry(ConfinedTree& tree, uint64_t neededBytes, size_t chunkSize);

    URL url_;
    ArchiveFile file_;
    EndOfCentralDirectoryRecord endRecord_;
    CentralDirectory centralDirectory_;
    bool zip64_ = false;
};

class Archive::Iterator {
public:
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;

    Iterator() = default;
    explicit Iterator(Archive* archive);

    const Entry& operator*() const { return *current_; }
    const Entry* operator->() const { return &*current_; }
    Iterator& operator++();
    void operator++(int) { ++*this; }
    bool operator==(std::default_sentinel_t) const { return !current_; }

private:
    Archive* archive_ = nullptr;
    Cursor cursor_;
    std::optional<Entry> current_;
};

} // namespace tavik::zip
