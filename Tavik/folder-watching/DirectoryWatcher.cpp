#include "Tavik/folder-watching/DirectoryWatcher.hpp"

#include "Tavik/folder-watching/FolderListing.hpp"
#include "platform/dispatch/QueueAssertion.hpp"
#include "platform/folderevents/FolderEventReader.hpp"
#include "platform/foundation/FileError.hpp"

#include <cstring>
#include <sys/stat.h>

namespace tavik {

using progress::FileProgressService;
using progress::Progress;
using progress::ProgressPtr;

// ---- DirectoryWatcherError

DirectoryWatcherError::DirectoryWatcherError(Case errorCase, int32_t errorNumber, std::optional<URL> url)
    : case_(errorCase)
    , errorNumber_(errorNumber)
    , url_(std::move(url))
{
}

ErrorPtr DirectoryWatcherError::directoryOpenFailed(int32_t errorNumber)
{
    return std::make_shared<const DirectoryWatcherError>(Case::directoryOpenFailed, errorNumber, std::nullopt);
}

ErrorPtr DirectoryWatcherError::directoryURLInvalid(URL url)
{
    return std::make_shared<const DirectoryWatcherError>(Case::directoryURLInvalid, 0, std::move(url));
}

std::string DirectoryWatcherError::description() const
{
    switch (case_) {
    case Case::directoryOpenFailed:
        return std::strerror(errorNumber_);
    case Case::directoryURLInvalid:
        return "URL is invalid: " + url_->description();
    }
    return {};
}

// ---- Creation and release

namespace {

bool hasFileSystemPath(const URL& url)
{
    const auto& path = url.path().native();
    return !path.empty() && url.path().is_absolute() && path.find('\0') == std::string::npos;
}

} // namespace

Result<std::shared_ptr<DirectoryWatcher>> DirectoryWatcher::create(URL directoryURL, dispatch::QueuePtr dispatchQueue,
    log::Logger log, FileFoundListener fileFoundListener, std::shared_ptr<FileProgressService> progressService)
{
    // Security-scoped access to the folder needs no starting on this platform.
    if (!hasFileSystemPath(directoryURL))
        return DirectoryWatcherError::directoryURLInvalid(directoryURL);
    auto eventReader = FolderEventReader::open(directoryURL.path());
    if (!eventReader)
        return DirectoryWatcherError::directoryOpenFailed(errnoOf(eventReader.error()));

    std::shared_ptr<DirectoryWatcher> watcher(new DirectoryWatcher(std::move(directoryURL), dispatchQueue,
        std::move(log), std::move(fileFoundListener), std::move(progressService)));
    watcher->eventReader_ = std::move(*eventReader);

    // The first listing runs here. Changes made meanwhile wait in the kernel's
    // queue and cause an update on the watcher's queue right after, so
    // updates never overlap.
    watcher->updateEntries(EntryChanges {.relist = true, .names = {}}, false);

    std::weak_ptr<DirectoryWatcher> weakWatcher = watcher;
    watcher->eventReader_->start([weakWatcher, dispatchQueue] {
        dispatchQueue->async([weakWatcher] {
            if (auto watcher = weakWatcher.lock())
                watcher->drainEvents();
        });
    });
    return watcher;
}

DirectoryWatcher::DirectoryWatcher(URL directoryURL, dispatch::QueuePtr dispatchQueue, log::Logger log,
    FileFoundListener fileFoundListener, std::shared_ptr<FileProgressService> progressService)
    : directoryURL_(std::move(directoryURL))
    , dispatchQueue_(std::move(dispatchQueue))
    , log_(std::move(log))
    , fileFoundListener_(std::move(fileFoundListener))
    , progressService_(std::move(progressService))
    , fileProgressesQueue_(dispatch::DispatchQueue::makeConcurrent("DirectoryWatcher.fileProgresses"))
{
}

DirectoryWatcher::~DirectoryWatcher()
{
    // Nothing else runs in this watcher now: every work item and handler
    // holds it weakly and had to give up its reference for this to run.
    eventReader_.reset();
    for (const auto& [file, subscription] : subscribedFiles_) {
        if (subscription.token)
            progressService_->removeSubscriber(subscription.token);
    }
    for (const auto& [name, write] : writeProgresses_)
        progressService_->unpublish(write.publication);
}

// ---- Events and entries

void DirectoryWatcher::drainEvents()
{
    TAVIK_ASSERT_ON_QUEUE(dispatchQueue_);
    // Events that pile up meanwhile coalesce into the next update, as a
    // dispatch source coalesces them.
    EntryChanges changes;
    applyEvents(eventReader_->readEvents(), changes);
    if (relistPending_ && changes.any())
        changes.relist = true;
    while (changes.any())
        changes = updateEntries(changes, true);
    eventReader_->rearm();
}

// Follows files written in place and gathers the entries that changed.
void DirectoryWatcher::applyEvents(const std::vector<FolderEvent>& events, EntryChanges& changes)
{
    TAVIK_ASSERT_ON_QUEUE(dispatchQueue_);
    for (const auto& event : events) {
        switch (event.kind) {
        case FolderEvent::Kind::created:
            changes.names.insert(event.name);
            if (!event.isDirectory)
                startWriteProgress(event.name);
            break;
        case FolderEvent::Kind::closedAfterWriting:
            finishWriteProgress(event.name);
            break;
        case FolderEvent::Kind::removed:
        case FolderEvent::Kind::movedOut:
        case FolderEvent::Kind::movedIn:
            changes.names.insert(event.name);
            abandonWriteProgress(event.name);
            break;
        case FolderEvent::Kind::folderMoved:
            changes.relist = true;
            break;
        case FolderEvent::Kind::eventsLost:
            changes.relist = true;
            log_.error("Missed changes in {} directory; listing it again", directoryURL_.path().string());
            break;
        }
    }
}

// Looks at the changed entries (or the whole folder) and processes new and
// removed files. Returns the changes that events picked up on the way name.
DirectoryWatcher::EntryChanges DirectoryWatcher::updateEntries(const EntryChanges& changes, bool pickUpLateEvents)
{
    std::string folderPrefix = directoryURL_.resolvingSymlinksInPath().path().native();
    if (folderPrefix.back() != '/')
        folderPrefix += '/';
    std::vector<FoundFile> found;
    std::vector<File> dropped;
    if (changes.relist) {
        if (!relist(folderPrefix, found, dropped))
            return {};
    } else {
        std::set<std::string> names = changes.names;
        names.insert(linkEntries_.begin(), linkEntries_.end());
        for (const auto& name : names)
            setEntry(name, currentFileFor(name, folderPrefix), found, dropped);
    }

    // The sizes are read before the events are picked up: a file that had
    // content by then was created before, so the event of its creation is
    // among them if it was created in place.
    std::vector<std::pair<File, struct stat>> readable;
    for (auto& [name, file] : found) {
        struct stat attributes;
        if (::lstat(file.url.path().c_str(), &attributes) == 0)
            readable.emplace_back(std::move(file), attributes);
        else
            setEntry(name, std::nullopt, found, dropped); // gone already; its removal names it again
    }
    EntryChanges lateChanges;
    if (pickUpLateEvents)
        applyEvents(eventReader_->readEvents(), lateChanges);
    for (const auto& [file, attributes] : readable)
        processNewFile(file, attributes.st_size, static_cast<int64_t>(attributes.st_ino));

    for (const auto& file : dropped) {
        auto record = subscribedFiles_.find(file);
        if (record == subscribedFiles_.end() || record->second.entryCount > 0)
            continue; // dropped twice, or an entry leads to it again
        auto subscription = std::move(record->second);
        subscribedFiles_.erase(record);
        if (subscription.token)
            processRemovedFile(file, subscription);
    }
    return lateChanges;
}

// Lists the whole folder and brings every entry up to date. Fails, logged,
// when the folder cannot be listed; the next events then list it again.
bool DirectoryWatcher::relist(const std::string& folderPrefix, std::vector<FoundFile>& found, std::vector<File>& dropped)
{
    auto listing = listFolder(directoryURL_.path());
    relistPending_ = !listing;
    if (!listing) {
        log_.error("Failed to get contents of {} directory: {}", directoryURL_.path().string(),
            listing.error()->description());
        return false;
    }
    std::unordered_map<std::string, File> listed;
    listed.reserve(listing->size());
    linkEntries_.clear();
    for (auto& entry : *listing) {
        if (entry.kind == FolderEntry::Kind::symbolicLink || entry.kind == FolderEntry::Kind::unknown) {
            if (auto file = currentFileFor(entry.name, folderPrefix))
                listed.emplace(std::move(entry.name), std::move(*file));
            continue;
        }
        // Not a link, so the resolved URL is the resolved folder plus the name;
        // an entry that is known already keeps its File without building one.
        bool isDirectory = entry.kind == FolderEntry::Kind::directory;
        auto known = entries_.find(entry.name);
        if (known != entries_.end()
            && FileEqual::same(keyOf(known->second), {folderPrefix, entry.name, isDirectory, entry.fileNumber})) {
            listed.emplace(std::move(entry.name), known->second);
            continue;
        }
        File file {URL::fileURL(folderPrefix + entry.name, isDirectory), entry.fileNumber};
        listed.emplace(std::move(entry.name), std::move(file));
    }

    std::vector<std::string> gone;
    for (const auto& [name, file] : entries_) {
        if (!listed.contains(name))
            gone.push_back(name);
    }
    for (const auto& name : gone)
        setEntry(name, std::nullopt, found, dropped);
    for (auto& [name, file] : listed)
        setEntry(name, std::move(file), found, dropped);
    return true;
}

// The file an entry of the folder leads to now, if any. Notes whether the
// entry is a link.
std::optional<DirectoryWatcher::File> DirectoryWatcher::currentFileFor(
    const std::string& name, const std::string& folderPrefix)
{
    struct stat attributes;
    bool exists = ::lstat((directoryURL_.path() / name).c_str(), &attributes) == 0;
    if (exists && S_ISLNK(attributes.st_mode)) {
        linkEntries_.insert(name);
        return resolvedFileFor(name);
    }
    linkEntries_.erase(name);
    if (!exists)
        return std::nullopt;
    return File {URL::fileURL(folderPrefix + name, S_ISDIR(attributes.st_mode)), static_cast<int64_t>(attributes.st_ino)};
}

std::optional<DirectoryWatcher::File> DirectoryWatcher::resolvedFileFor(const std::string& name) const
{
    auto url = directoryURL_.appendingPathComponent(name).resolvingSymlinksInPath();
    struct stat attributes;
    if (::lstat(url.path().c_str(), &attributes) != 0)
        return std::nullopt;
    return File {std::move(url), static_cast<int64_t>(attributes.st_ino)};
}

// Records what an entry leads to now. A file no entry led to before is
// found; one that lost its last entry is dropped (removed once the update
// ends, unless an entry leads to it again by then).
void DirectoryWatcher::setEntry(
    const std::string& name, std::optional<File> file, std::vector<FoundFile>& found, std::vector<File>& dropped)
{
    auto entry = entries_.find(name);
    if (entry != entries_.end()) {
        if (file && entry->second == *file)
            return;
        auto record = subscribedFiles_.find(entry->second);
        if (record != subscribedFiles_.end() && --record->second.entryCount == 0)
            dropped.push_back(entry->second);
        entries_.erase(entry);
    }
    if (!file)
        return;
    auto& subscription = subscribedFiles_[*file];
    if (++subscription.entryCount == 1 && !subscription.token)
        found.push_back(FoundFile {name, *file});
    entries_.emplace(name, std::move(*file));
}

void DirectoryWatcher::processNewFile(const File& file, int64_t size, int64_t currentFileNumber)
{
    auto record = subscribedFiles_.find(file);
    if (record == subscribedFiles_.end() || record->second.token)
        return; // found twice, through two links to one item, or gone again
    log_.debug("Adding progress subscriber for file at {}", file.url.path().string());
    record->second.token = progressService_->addSubscriber(file.url, publishingHandler(file));

    // A file still being written in place waits for its progress to end.
    if (size >= 1 && !isBeingWritten(file, currentFileNumber))
        fileFoundListener_(file.url);
}

void DirectoryWatcher::processRemovedFile(const File& file, const Subscription& subscription)
{
    log_.debug("File at {} was removed", file.url.path().string());
    fileProgressesQueue_->syncBarrier([&] { fileProgresses_.erase(file); });
    progressService_->removeSubscriber(subscription.token);
}

// ---- Progress subscriptions

FileProgressService::PublishingHandler DirectoryWatcher::publishingHandler(const File& file)
{
    std::weak_ptr<DirectoryWatcher> weakWatcher = weak_from_this();
    return [weakWatcher, file](const ProgressPtr& progress) -> FileProgressService::UnpublishingHandler {
        auto watcher = weakWatcher.lock();
        if (!watcher)
            return {};
        watcher->log_.debug("Received a progress for file at {}. Currently at {:f}", file.url.path().string(),
            progress->fractionCompleted());
        watcher->storeProgress(file, progress);
        return [weakWatcher, file, progress] {
            auto watcher = weakWatcher.lock();
            if (!watcher)
                return;
            double fraction = progress->fractionCompleted();
            watcher->log_.debug("Progress for file at {} unpublished with fraction complete {:f}",
                file.url.path().string(), fraction);
            if (fraction == 1.0)
                watcher->fileFoundListener_(file.url);
        };
    };
}

void DirectoryWatcher::storeProgress(const File& file, const ProgressPtr& progress)
{
    // One barrier for the read and the write, so that two handlers storing at
    // once cannot lose either entry.
    fileProgressesQueue_->syncBarrier([&] { fileProgresses_.insert_or_assign(file, progress); });
}

// ---- Files written in place

// A file created in the folder by a process that writes it where it is (as
// wget, curl -O and cp do) counts as having a progress published from its
// creation until that process closes it with content in it, which withdraws
// the progress complete. Files moved in (as browsers finish downloads) never
// get one.

void DirectoryWatcher::startWriteProgress(const std::string& name)
{
    TAVIK_ASSERT_ON_QUEUE(dispatchQueue_);
    abandonWriteProgress(name);
    // A new hard link to an existing file, a link or a special file is not
    // being written. The entry itself is looked at: through a link, the file
    // it leads to would look like a new file written in place, and would
    // never be reported.
    struct stat attributes;
    if (::lstat((directoryURL_.path() / name).c_str(), &attributes) != 0)
        return;
    if (!S_ISREG(attributes.st_mode) || attributes.st_nlink != 1)
        return;
    auto url = directoryURL_.appendingPathComponent(name).resolvingSymlinksInPath();
    auto progress = std::make_shared<Progress>(1);
    auto publication = progressService_->publish(url, progress);
    writeProgresses_.insert_or_assign(name,
        WriteProgress {std::move(url), static_cast<int64_t>(attributes.st_ino), progress, std::move(publication)});
}

void DirectoryWatcher::finishWriteProgress(const std::string& name)
{
    TAVIK_ASSERT_ON_QUEUE(dispatchQueue_);
    auto found = writeProgresses_.find(name);
    if (found == writeProgresses_.end())
        return;
    struct stat attributes;
    if (::lstat(found->second.url.path().c_str(), &attributes) != 0
        || static_cast<int64_t>(attributes.st_ino) != found->second.fileNumber) {
        abandonWriteProgress(name);
        return;
    }
    if (attributes.st_size == 0)
        return; // closed before anything was written: its writer may be back
    found->second.progress->setCompletedUnitCount(1);
    progressService_->unpublish(found->second.publication);
    writeProgresses_.erase(found);
}

void DirectoryWatcher::abandonWriteProgress(const std::string& name)
{
    TAVIK_ASSERT_ON_QUEUE(dispatchQueue_);
    auto found = writeProgresses_.find(name);
    if (found == writeProgresses_.end())
        return;
    progressService_->unpublish(found->second.publication);
    writeProgresses_.erase(found);
}

bool DirectoryWatcher::isBeingWritten(const File& file, int64_t currentFileNumber) const
{
    auto found = writeProgresses_.find(file.url.lastPathComponent());
    return found != writeProgresses_.end() && found->second.url == file.url
        && found->second.fileNumber == currentFileNumber;
}

} // namespace tavik
