#include "Tavik/folder-watching/FileWatchersManager.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/foundation/FileIdentity.hpp"

#include <algorithm>
#include <cstdio>

namespace tavik {

namespace {

bool qualifies(const FileSourceConfiguration& configuration)
{
    return configuration.fileSource() == FileSource::directory
        && configuration.fileFoundAction().currentValue() != options::FileFoundActionOption::ignore;
}

bool contains(const FileWatchersManager::Bookmarks& list, const persistence::Data& identity)
{
    return std::find(list.begin(), list.end(), identity) != list.end();
}

} // namespace

std::shared_ptr<FileWatchersManager> FileWatchersManager::make(FileHandlerPtr fileHandler,
    std::shared_ptr<FileSourceConfigurationsManager> fileSourcesManager,
    std::shared_ptr<ApplicationsDestinationManager> applicationsDestinationManager, log::Logger log,
    std::shared_ptr<defaults::UserDefaults> userDefaults, std::shared_ptr<progress::FileProgressService> progressService)
{
    return std::shared_ptr<FileWatchersManager>(new FileWatchersManager(std::move(fileHandler),
        std::move(fileSourcesManager), std::move(applicationsDestinationManager), std::move(log),
        std::move(userDefaults), std::move(progressService)));
}

FileWatchersManager::FileWatchersManager(FileHandlerPtr fileHandler,
    std::shared_ptr<FileSourceConfigurationsManager> fileSourcesManager,
    std::shared_ptr<ApplicationsDestinationManager> applicationsDestinationManager, log::Logger log,
    std::shared_ptr<defaults::UserDefaults> userDefaults, std::shared_ptr<progress::FileProgressService> progressService)
    : fileHandler_(std::move(fileHandler))
    , fileSourcesManager_(std::move(fileSourcesManager))
    , applicationsDestinationManager_(std::move(applicationsDestinationManager))
    , progressService_(std::move(progressService))
    , log_(std::move(log))
    , handledFileBookmarks_(handledFilesKey, userDefaults, Bookmarks {})
    , ignoredFileBookmarks_(ignoredFilesKey, userDefaults, Bookmarks {})
{
}

FileWatchersManager::~FileWatchersManager()
{
    // Watchers stop when released; do it before the members they report to go.
    std::map<std::string, std::shared_ptr<DirectoryWatcher>> watchers;
    {
        std::lock_guard lock(directoryWatchersMutex_);
        watchers.swap(directoryWatchers_);
    }
}

void FileWatchersManager::startWatching()
{
    std::lock_guard lock(subscriptionMutex_);
    if (fileWatchersCancellable_)
        return;
    std::weak_ptr<FileWatchersManager> weakSelf = weak_from_this();
    fileWatchersCancellable_ = fileSourcesManager_->fileSourceConfigurationsPublisher().sink(
        [weakSelf](const FileSourceConfigurationsManager::Configurations& configurations) {
            if (auto self = weakSelf.lock())
                self->updateWatchers(configurations);
        });
}

FileSourceConfigurationPtr FileWatchersManager::currentConfiguration(const std::string& id) const
{
    for (auto& configuration : fileSourcesManager_->fileSourceConfigurations()) {
        if (configuration->id() == id)
            return configuration;
    }
    return nullptr;
}

std::set<std::string> FileWatchersManager::watchedConfigurationIDs() const
{
    std::lock_guard lock(directoryWatchersMutex_);
    std::set<std::string> ids;
    for (const auto& [id, watcher] : directoryWatchers_)
        ids.insert(id);
    return ids;
}

// No lock of ours is held while watchers are made or released: making one may
// renew its folder's bookmark, and that write publishes the list again, on
// this thread.
void FileWatchersManager::updateWatchers(const Configurations& configurations)
{
    {
        std::lock_guard lock(updateMutex_);
        pendingConfigurations_ = configurations;
        if (updating_)
            return;
        updating_ = true;
    }
    for (;;) {
        Configurations next;
        {
            std::lock_guard lock(updateMutex_);
            if (!pendingConfigurations_) {
                updating_ = false;
                return;
            }
            next = std::move(*pendingConfigurations_);
            pendingConfigurations_.reset();
        }
        applyConfigurations(next);
    }
}

void FileWatchersManager::applyConfigurations(const Configurations& configurations)
{
    std::set<std::string> wanted;
    std::vector<FileSourceConfigurationPtr> missing;
    {
        std::lock_guard lock(directoryWatchersMutex_);
        for (const auto& configuration : configurations) {
            // A folder without a chosen destination is not watched.
            if (!qualifies(*configuration) || !configuration->destinationBookmarkUUID().currentValue())
                continue;
            wanted.insert(configuration->id());
            if (!directoryWatchers_.contains(configuration->id()))
                missing.push_back(configuration);
        }
    }

    std::map<std::string, std::shared_ptr<DirectoryWatcher>> created;
    for (const auto& configuration : missing) {
        if (auto watcher = makeWatcher(configuration))
            created.emplace(configuration->id(), std::move(watcher));
    }

    std::vector<std::shared_ptr<DirectoryWatcher>> released;
    {
        std::lock_guard lock(directoryWatchersMutex_);
        directoryWatchers_.merge(created);
        for (auto it = directoryWatchers_.begin(); it != directoryWatchers_.end();) {
            if (wanted.contains(it->first)) {
                ++it;
            } else {
                released.push_back(std::move(it->second));
                it = directoryWatchers_.erase(it);
            }
        }
    }
    // `released` stops its watchers here, outside the lock: a watcher waits
    // for its callbacks in flight when it goes.
}

std::shared_ptr<DirectoryWatcher> FileWatchersManager::makeWatcher(const FileSourceConfigurationPtr& configuration)
{
    auto url = configuration->watchDirectoryURL();
    if (!url)
        return nullptr;
    auto queue = dispatch::DispatchQueue::makeSerial("Directory Watcher (" + url->description() + ")");
    std::weak_ptr<FileWatchersManager> weakSelf = weak_from_this();
    // The manager may publish another object for the same record (adding a
    // folder in this process does), so each file is handled with the object
    // the list holds for the id now, not the one the watcher started with.
    auto watcher = DirectoryWatcher::create(
        *url, std::move(queue), log::Logger(log_.subsystem(), "Directory Watcher"),
        [weakSelf, id = configuration->id()](const URL& fileURL) {
            auto self = weakSelf.lock();
            if (!self)
                return;
            auto configuration = self->currentConfiguration(id);
            if (!configuration)
                return;
            self->log_.defaultLevel("Found a potentially handleable file at {}", fileURL.path().string());
            self->handleReportedFile(fileURL, configuration);
        },
        progressService_);
    if (!watcher) {
        std::printf("Failed to create directory watcher: %s\n", watcher.error()->description().c_str());
        std::fflush(stdout);
        return nullptr;
    }
    log_.debug("Started watching {}", url->path().string());
    return std::move(*watcher);
}

bool FileWatchersManager::isRecorded(const persistence::Data& identity, const std::string& path) const
{
    if (contains(handledFileBookmarks_.currentValue(), identity)) {
        log_.debug("File has already been handled: {}", path);
        return true;
    }
    if (contains(ignoredFileBookmarks_.currentValue(), identity)) {
        log_.debug("File has been ignored: {}", path);
        return true;
    }
    return false;
}

void FileWatchersManager::handleReportedFile(const URL& fileURL, const FileSourceConfigurationPtr& configuration)
{
    const std::string path = fileURL.path().string();
    auto identity = fileIdentityBytes(fileURL);
    if (!identity) {
        log_.error("Failed to get bookmark data for {}: {}", path, identity.error()->description());
        return;
    }
    // The lists are read with no lock held (a read may deliver settings
    // changes to observers).
    if (isRecorded(*identity, path))
        return;
    {
        std::lock_guard lock(handlingMutex_);
        if (!currentlyHandlingBookmarks_.insert(*identity).second) {
            log_.debug("File is already being handled: {}", path);
            return;
        }
    }
    // A handling of the file that ended since the first look has recorded it
    // by now (it leaves the in-flight set only after that), so a second look
    // hands every file over once.
    if (isRecorded(*identity, path)) {
        finishHandling(*identity);
        return;
    }
    std::weak_ptr<FileWatchersManager> weakSelf = weak_from_this();
    fileHandler_->handleFile(fileURL, configuration,
        [weakSelf, fileURL, identity = *identity](FileHandler::FileOutcome outcome) {
            if (auto self = weakSelf.lock())
                self->handleOutcome(fileURL, identity, outcome);
        });
}

void FileWatchersManager::handleOutcome(const URL& fileURL, const persistence::Data& identity,
    const FileHandler::FileOutcome& outcome)
{
    const std::string path = fileURL.path().string();
    if (outcome.isCompleted()) {
        record({&handledFileBookmarks_, handledFilesKey, identity});
        return;
    }
    if (std::holds_alternative<FileHandler::FileOutcome::Ignored>(outcome.value)) {
        record({&ignoredFileBookmarks_, ignoredFilesKey, identity});
        return;
    }
    if (auto error = outcome.failure()) {
        auto handlerError = std::dynamic_pointer_cast<const FileHandler::Error>(error);
        if (handlerError && handlerError->errorCode() == FileHandler::Error::Code::unsupportedFileType)
            log_.debug("File type \"{}\" is not supported", handlerError->fileType().rawValue());
        else
            log_.error("Failed to handle {}: {}", path, error->description());
    }
    // A dismissed file stays unrecorded and is offered again at its next report.
    finishHandling(identity);
}

void FileWatchersManager::finishHandling(const persistence::Data& identity)
{
    std::lock_guard lock(handlingMutex_);
    currentlyHandlingBookmarks_.erase(identity);
}

void FileWatchersManager::record(PendingRecord pending)
{
    {
        std::lock_guard lock(recordsMutex_);
        pendingRecords_.push_back(std::move(pending));
        if (recording_)
            return;
        recording_ = true;
    }
    for (;;) {
        std::vector<PendingRecord> batch;
        {
            std::lock_guard lock(recordsMutex_);
            if (pendingRecords_.empty()) {
                recording_ = false;
                return;
            }
            batch.swap(pendingRecords_);
        }
        for (const auto& next : batch) {
            append(next);
            finishHandling(next.identity);
        }
    }
}

void FileWatchersManager::append(const PendingRecord& pending)
{
    auto current = pending.list->fetchOrDefault();
    if (!current) {
        // Writing over a list that cannot be read would lose it.
        log_.error("Failed to record {}: {}", pending.key, current.error()->description());
        return;
    }
    current->push_back(pending.identity);
    if (auto stored = pending.list->store(*current); !stored)
        log_.error("Failed to record {}: {}", pending.key, stored.error()->description());
}

} // namespace tavik
