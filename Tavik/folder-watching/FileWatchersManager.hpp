#pragma once

// Keeps a directory watcher running for every watched folder in use, hands
// each reported file to the file handler at most once at a time, and never
// again once it was handled or ignored.

#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "Tavik/file-handling/FileHandler.hpp"
#include "Tavik/folder-watching/DirectoryWatcher.hpp"
#include "persistence/Persister.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/log/Logger.hpp"
#include "platform/progress/FileProgressService.hpp"
#include "platform/publisher/Publisher.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tavik {

class FileWatchersManager : public std::enable_shared_from_this<FileWatchersManager> {
public:
    using Bookmarks = std::vector<persistence::Data>;
    static constexpr const char* handledFilesKey = "HandledFiles";
    static constexpr const char* ignoredFilesKey = "IgnoredFiles";

    // Nothing is watched until startWatching. The lists live in the given
    // defaults store; the progress service is the one downloaders publish to.
    static std::shared_ptr<FileWatchersManager> make(FileHandlerPtr fileHandler,
        std::shared_ptr<FileSourceConfigurationsManager> fileSourcesManager,
        std::shared_ptr<ApplicationsDestinationManager> applicationsDestinationManager, log::Logger log,
        std::shared_ptr<defaults::UserDefaults> userDefaults = defaults::UserDefaults::standard(),
        std::shared_ptr<progress::FileProgressService> progressService = progress::FileProgressService::shared());

    ~FileWatchersManager();
    FileWatchersManager(const FileWatchersManager&) = delete;
    FileWatchersManager& operator=(const FileWatchersManager&) = delete;

    // Follows the configuration list from now on; a second call does nothing.
    void startWatching();

    // The ids of the configurations whose folders are watched now.
    std::set<std::string> watchedConfigurationIDs() const;

    const persistence::Persister<Bookmarks>& handledFileBookmarks() const { return handledFileBookmarks_; }
    const persistence::Persister<Bookmarks>& ignoredFileBookmarks() const { return ignoredFileBookmarks_; }

private:
    FileWatchersManager(FileHandlerPtr fileHandler, std::shared_ptr<FileSourceConfigurationsManager> fileSourcesManager,
        std::shared_ptr<ApplicationsDestinationManager> applicationsDestinationManager, log::Logger log,
        std::shared_ptr<defaults::UserDefaults> userDefaults, std::shared_ptr<progress::FileProgressService> progressService);

    using Configurations = FileSourceConfigurationsManager::Configurations;

    // Runs a watcher update for the list, or leaves it to the update under
    // way, which takes up the latest list given meanwhile.
    void updateWatchers(const Configurations& configurations);
    void applyConfigurations(const Configurations& configurations);
    std::shared_ptr<DirectoryWatcher> makeWatcher(const FileSourceConfigurationPtr& configuration);
    // The object the configurations list holds for the id now; null once it was removed.
    FileSourceConfigurationPtr currentConfiguration(const std::string& id) const;
    void handleReportedFile(const URL& fileURL, const FileSourceConfigurationPtr& configuration);
    // Whether the file is in the handled or the ignored list (logged if so).
    bool isRecorded(const persistence::Data& identity, const std::string& path) const;
    void handleOutcome(const URL& fileURL, const persistence::Data& identity, const FileHandler::FileOutcome& outcome);

    struct PendingRecord {
        const persistence::Persister<Bookmarks>* list;
        const char* key;
        persistence::Data identity;
    };
    // Appends the identity to its list and then lets the file go from the
    // in-flight set; appends are written one at a time, by whichever thread
    // is writing already.
    void record(PendingRecord pending);
    void append(const PendingRecord& pending);
    void finishHandling(const persistence::Data& identity);

    const FileHandlerPtr fileHandler_;
    const std::shared_ptr<FileSourceConfigurationsManager> fileSourcesManager_;
    const std::shared_ptr<ApplicationsDestinationManager> applicationsDestinationManager_;
    const std::shared_ptr<progress::FileProgressService> progressService_;
    const log::Logger log_;

    std::mutex subscriptionMutex_;
    std::optional<publisher::AnyCancellable> fileWatchersCancellable_;

    // One watcher update at a time, so a folder never gets two watchers. A
    // list delivered while one runs (by another thread, or by this one when
    // renewing a folder's bookmark writes the settings) waits here.
    std::mutex updateMutex_;
    bool updating_ = false;
    std::optional<Configurations> pendingConfigurations_;
    mutable std::mutex directoryWatchersMutex_;
    std::map<std::string, std::shared_ptr<DirectoryWatcher>> directoryWatchers_;

    persistence::Persister<Bookmarks> handledFileBookmarks_;
    persistence::Persister<Bookmarks> ignoredFileBookmarks_;
    // Guards the in-flight set.
    std::mutex handlingMutex_;
    std::set<persistence::Data> currentlyHandlingBookmarks_;
    std::mutex recordsMutex_;
    bool recording_ = false;
    std::vector<PendingRecord> pendingRecords_;
};

} // namespace tavik
