#pragma once

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"
#include "platform/log/Logger.hpp"
#include "platform/progress/FileProgressService.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavik {

class FolderEventReader;
struct FolderEvent;
struct FolderEntry;

class DirectoryWatcherError final : public Error {
public:
    enum class Case {
        directoryOpenFailed,
        directoryURLInvalid
    };

    static ErrorPtr directoryOpenFailed(int32_t errorNumber);
    static ErrorPtr directoryURLInvalid(URL url);

    Case errorCase() const { return case_; }
    // The error number of the failed open (directoryOpenFailed).
    int32_t errorNumber() const { return errorNumber_; }
    // The rejected URL (directoryURLInvalid).
    const std::optional<URL>& url() const { return url_; }

    std::string description() const override;
    std::string domain() const override { return "Tavik.DirectoryWatcherError"; }
    int code() const override { return static_cast<int>(case_); }

    DirectoryWatcherError(Case errorCase, int32_t errorNumber, std::optional<URL> url);

private:
    Case case_;
    int32_t errorNumber_;
    std::optional<URL> url_;
};

// Watches one folder and reports, through its listener, every file in it
// that has become ready to be handled.
//
// The folder is listed once while the watcher is created (on the creating
// thread); after that, on its serial queue, only the entries that the
// kernel's events name, and the symbolic links in it, are looked at again.
// The whole folder is listed again
// only when events were lost, when the folder itself moved, or while it
// cannot be listed.
// A file is known by its URL, with symbolic links resolved, and its file
// number; a file renamed, or replaced by another under the same name, is a
// new file. A new file with content is reported at once. Otherwise it is
// reported when a progress published for it through the file progress
// service is withdrawn complete. A file created in the folder (rather than
// moved in) counts as having such a progress published, from its creation
// until its writer closes it with content in it, so a file written in place
// is reported once it is closed, not while half written.
//
// The listener is called on the watcher's queue, on the creating thread
// during creation, or on a thread of the progress service, and may be called
// concurrently. Reports are not de-duplicated. Releasing the last reference
// stops everything: no call reaches the listener once the watcher is gone.
class DirectoryWatcher : public std::enable_shared_from_this<DirectoryWatcher> {
public:
    using FileFoundListener = std::function<void(const URL&)>;

    // `dispatchQueue` is a serial queue given to this watcher alone. Fails
    // with a DirectoryWatcherError when the URL has no file-system path or
    // the folder cannot be watched. The progress service must be the one
    // downloaders publish to; tests pass their own.
    static Result<std::shared_ptr<DirectoryWatcher>> create(URL directoryURL, dispatch::QueuePtr dispatchQueue,
        log::Logger log, FileFoundListener fileFoundListener,
        std::shared_ptr<progress::FileProgressService> progressService = progress::FileProgressService::shared());

    ~DirectoryWatcher();
    DirectoryWatcher(const DirectoryWatcher&) = delete;
    DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

private:
    struct File {
        URL url;
        int64_t fileNumber;
        bool operator==(const File&) const = default;
    };
    // A File's identity while listing, without building a path for every
    // entry: the path is the folder part followed by the name. Hashing only
    // the name keeps lookups cheap in large folders.
    struct FileKey {
        std::string_view folder;
        std::string_view name;
        bool isDirectory;
        int64_t fileNumber;
    };
    static FileKey keyOf(const File& file)
    {
        std::string_view path = file.url.path().native();
        size_t split = path.rfind('/') + 1; // paths are absolute
        return {path.substr(0, split), path.substr(split), file.url.hasDirectoryPath(), file.fileNumber};
    }
    struct FileHash {
        using is_transparent = void;
        size_t operator()(const FileKey& key) const noexcept
        {
            size_t hash = std::hash<std::string_view>()(key.name);
            hash ^= std::hash<int64_t>()(key.fileNumber) + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
            return hash ^ static_cast<size_t>(key.isDirectory);
        }
        size_t operator()(const File& file) const noexcept { return (*this)(keyOf(file)); }
    };
    struct FileEqual {
        using is_transparent = void;
        static bool same(const FileKey& a, const FileKey& b)
        {
            if (a.fileNumber != b.fileNumber || a.isDirectory != b.isDirectory)
                return false;
            if (a.folder.size() == b.folder.size())
                return a.name == b.name && a.folder == b.folder;
            return std::string(a.folder).append(a.name) == std::string(b.folder).append(b.name);
        }
        bool operator()(const File& a, const File& b) const { return a == b; }
        bool operator()(const File& a, const FileKey& b) const { return same(keyOf(a), b); }
        bool operator()(const FileKey& a, const File& b) const { return same(a, keyOf(b)); }
    };
    // A file some entry leads to: several can, through links.
    struct Subscription {
        progress::FileProgressService::SubscriberToken token; // null until the file is taken up
        size_t entryCount = 0;
    };
    // Entries to look at again after a batch of events.
    struct EntryChanges {
        bool relist = false;
        std::set<std::string> names;
        bool any() const { return relist || !names.empty(); }
    };
    struct FoundFile {
        std::string name;
        File file;
    };
    // The progress that stands for a file being written in place.
    struct WriteProgress {
        URL url;
        int64_t fileNumber;
        progress::ProgressPtr progress;
        progress::FileProgressService::PublicationToken publication;
    };

    DirectoryWatcher(URL directoryURL, dispatch::QueuePtr dispatchQueue, log::Logger log,
        FileFoundListener fileFoundListener, std::shared_ptr<progress::FileProgressService> progressService);

    // These two on dispatchQueue_ only.
    void drainEvents();
    void applyEvents(const std::vector<FolderEvent>& events, EntryChanges& changes);

    EntryChanges updateEntries(const EntryChanges& changes, bool pickUpLateEvents);
    bool relist(const std::string& folderPrefix, std::vector<FoundFile>& found, std::vector<File>& dropped);
    std::optional<File> currentFileFor(const std::string& name, const std::string& folderPrefix);
    std::optional<File> resolvedFileFor(const std::string& name) const;
    void setEntry(const std::string& name, std::optional<File> file, std::vector<FoundFile>& found,
        std::vector<File>& dropped);
    void processNewFile(const File& file, int64_t size, int64_t currentFileNumber);
    void processRemovedFile(const File& file, const Subscription& subscription);
    progress::FileProgressService::PublishingHandler publishingHandler(const File& file);
    void storeProgress(const File& file, const progress::ProgressPtr& progress);

    // These three on dispatchQueue_ only.
    void startWriteProgress(const std::string& name);
    void finishWriteProgress(const std::string& name);
    void abandonWriteProgress(const std::string& name);
    // Also while the watcher is created, on the creating thread.
    bool isBeingWritten(const File& file, int64_t currentFileNumber) const;

    const URL directoryURL_;
    const dispatch::QueuePtr dispatchQueue_;
    const log::Logger log_;
    const FileFoundListener fileFoundListener_;
    const std::shared_ptr<progress::FileProgressService> progressService_;
    std::unique_ptr<FolderEventReader> eventReader_;

    // Touched by updates only: on the creating thread during creation, then on dispatchQueue_.
    // What each entry of the folder leads to, by name.
    std::unordered_map<std::string, File> entries_;
    // Entries that are symbolic links, resolved or not: what they lead to
    // can change without an event naming them, so every update looks at them.
    std::set<std::string> linkEntries_;
    std::unordered_map<File, Subscription, FileHash, FileEqual> subscribedFiles_;
    // The last listing failed: nothing is known until one succeeds.
    bool relistPending_ = false;
    // Files being written in place, by entry name. On dispatchQueue_ only.
    std::unordered_map<std::string, WriteProgress> writeProgresses_;

    const dispatch::QueuePtr fileProgressesQueue_;
    std::unordered_map<File, progress::ProgressPtr, FileHash, FileEqual> fileProgresses_;
};

} // namespace tavik
