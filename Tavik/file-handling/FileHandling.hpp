#pragma once

// One file's way through the file handler: classify it, ask or announce as
// its source is configured, search it, copy and open what was found, report
// one outcome, then detach the images it attached and trash the download.
//
// Lifetime: a handling is held only by its own pending work. Every callback
// that leads to its next step (queued work, an action's completion, the
// answer to a question, the end of the detaches) holds it strongly, so it
// lives until its last step has run and then goes, however long a question
// waits. What the handling itself holds (its disk image service sessions)
// holds copies instead, so no cycle keeps it. It never holds its FileHandler:
// it has its own copies of the handler's log and services, so files under way
// neither keep a released handler alive nor call it. It looks at the handler,
// weakly, only when the user answers the file found question: an answer that
// comes after the handler was released starts nothing more.

#include "Tavik/file-handling/CopyApplicationActions.hpp"
#include "Tavik/file-handling/FileHandler.hpp"
#include "Tavik/file-handling/InstallableApplication.hpp"
#include "Tavik/prompts/UserInputRequestPerformer.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace tavik {

class DiskImageServiceSession;

class FileHandling : public std::enable_shared_from_this<FileHandling> {
public:
    // What a handling takes from the handler that starts it.
    struct Handler {
        std::weak_ptr<const FileHandler> handler;
        log::Logger log;
        FileHandler::Services services;
        std::shared_ptr<ApplicationsDestinationManager> applicationsDestinationManager;
    };

    // Runs the whole handling of the file, starting on the calling thread.
    // `inFlight` is held until nothing of the handling remains.
    static void start(Handler handler, URL fileURL, FileSourceConfigurationPtr configuration,
        FileHandler::Completion completion, std::shared_ptr<void> inFlight);

    FileHandling(Handler handler, URL fileURL, FileSourceConfigurationPtr configuration, URL destination, FileType fileType,
        FileHandler::Completion completion, std::shared_ptr<void> inFlight);

private:
    using FoundItems = std::vector<InstallableApplication>;
    using SearchResult = actions::FileActionResult<URL, FoundItems>;
    using CopyResult = actions::FileActionResult<CopyApplicationsAction::Input, CopyApplicationsAction::Output>;

    void actOnFileFoundChoice();
    void askAboutFoundFile();
    void answerAboutFoundFile(const Result<UserResponse>& response);
    void search();
    void searchFinished(SearchResult result);
    void copyFinished(CopyResult result, bool questionDismissed);
    // A search that found nothing to copy: the clean-up, then the outcome.
    void finishWithoutCopies(FileHandler::FileOutcome outcome);
    void cleanUp(std::vector<URL> copiedApplications);
    // Runs once the detaches are over or their wait ran out; a working
    // folder that a detach may still use is kept.
    void trashStep(const std::vector<URL>& copiedApplications, bool detachesOver);
    void trashDownload();
    void removeWorkingFolder();
    // Ends a handling that stopped before the clean-up: the destination
    // access ends and the working folder goes.
    void stop(FileHandler::FileOutcome outcome);
    void complete(FileHandler::FileOutcome outcome);
    // Ends the destination access started for this file, once.
    void endDestinationAccess();

    std::shared_ptr<UserInputRequestPerformer> userInputRequestPerformer() const;

    const Handler handler_;
    const URL fileURL_;
    const FileSourceConfigurationPtr configuration_;
    const URL destination_;
    const FileType fileType_;
    const std::shared_ptr<void> inFlight_;
    std::atomic<bool> destinationAccessStarted_ = false;
    // The folder a disk image or archive search extracts into, once made.
    std::optional<URL> workingFolder_;
    // The service as the search called it; it knows what was attached.
    std::shared_ptr<DiskImageServiceSession> service_;
    FoundItems foundItems_;
    // What the clean-up detaches: the mount points of the found items, then
    // every other image the search attached.
    std::vector<URL> mountPoints_;
    std::mutex completionMutex_;
    FileHandler::Completion completion_;
};

} // namespace tavik
