#include "Tavik/file-handling/FileHandling.hpp"

#include "Tavik/file-handling/DiskImageActions.hpp"
#include "Tavik/file-handling/DiskImageDetach.hpp"
#include "Tavik/file-handling/DiskImageServiceSession.hpp"
#include "Tavik/file-handling/OpenApplicationActions.hpp"
#include "Tavik/file-handling/QuestionTexts.hpp"
#include "Tavik/file-handling/TarActions.hpp"
#include "Tavik/file-handling/ZIPActions.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/filemanager/FileManager.hpp"
#include "platform/foundation/Bookmark.hpp"
#include "platform/foundation/TemporaryDirectory.hpp"
#include "platform/foundation/TypeIdentifier.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/strings/LocalizedString.hpp"

#include <algorithm>

namespace tavik {

namespace {

using FileOutcome = FileHandler::FileOutcome;
using FileHandlerError = FileHandler::Error;
using options::AllApplicationsHandledAction;
using options::FileFoundActionOption;

// The key the type identifier is read under, named in missingResourceValue.
constexpr const char* typeIdentifierKey = "typeIdentifier";

const log::Logger& installableApplicationHandlerLog()
{
    static const log::Logger handle("app.tavik.Tavik", "Installable Application Handler");
    return handle;
}

// "DMG", "ZIP", "PKG", "TAR", "AppImage", "DEB", "RPM"; the identifier itself
// for an unsupported type.
std::string typeName(const FileType& fileType)
{
    if (std::holds_alternative<FileType::Dmg>(fileType.value))
        return "DMG";
    if (std::holds_alternative<FileType::Zip>(fileType.value))
        return "ZIP";
    if (std::holds_alternative<FileType::Pkg>(fileType.value))
        return "PKG";
    if (std::holds_alternative<FileType::Tar>(fileType.value))
        return "TAR";
    if (std::holds_alternative<FileType::AppImage>(fileType.value))
        return "AppImage";
    if (auto* package = std::get_if<FileType::LinuxPackage>(&fileType.value))
        return package->uti == FileType::debIdentifier ? "DEB" : "RPM";
    return fileType.rawValue();
}

// "Found a DMG file", "Found an AppImage file".
std::string foundMessageTitle(const FileType& fileType)
{
    auto name = typeName(fileType);
    bool vowel = !name.empty() && std::string_view("AEIOU").find(name.front()) != std::string_view::npos;
    return (vowel ? "Found an " : "Found a ") + name + " file";
}

// The localized user-notification string for the key with each "%@" filled.
std::string localizedUserNotificationString(const char* key, const std::vector<std::string>& arguments)
{
    return questions::formatted(strings::localizedString(key), arguments);
}

// The mount points an item's source chain passes through, from the item outwards.
void collectMountPoints(const InstallableApplication::Source& source, std::vector<URL>& mountPoints)
{
    if (auto* dmg = std::get_if<InstallableApplication::Source::DMG>(&source.value)) {
        mountPoints.push_back(dmg->mountURL);
        collectMountPoints(*dmg->parent, mountPoints);
    } else if (auto* zip = std::get_if<InstallableApplication::Source::ZIP>(&source.value)) {
        collectMountPoints(*zip->parent, mountPoints);
    }
}

// The configuration's destination folder; none when it names no destination,
// the destination is unknown or its bookmark does not resolve.
std::optional<URL> destinationFolder(ApplicationsDestinationManager* destinations, const FileSourceConfiguration& configuration)
{
    auto uuid = configuration.destinationBookmarkUUID().currentValue();
    if (!uuid || !destinations)
        return std::nullopt;
    auto destination = destinations->destination(*uuid);
    if (!destination)
        return std::nullopt;
    auto url = destination->url();
    if (!url)
        return std::nullopt;
    return *url;
}

// Whether the item lies in the folder (at any depth). The item's own last
// component is not resolved: a link in the folder lies in it, whatever it
// points to.
bool liesIn(const URL& item, const URL& folder)
{
    auto parent = item.deletingLastPathComponent().resolvingSymlinksInPath().path();
    auto root = folder.resolvingSymlinksInPath().path();
    auto rootEnd = std::mismatch(root.begin(), root.end(), parent.begin(), parent.end()).first;
    // A trailing separator of the folder is an empty last component.
    return rootEnd == root.end() || (std::next(rootEnd) == root.end() && rootEnd->empty());
}

// A new connection to the disk image service; its error handler logs and
// then calls onConnectionError, if given. Null when it yields no proxy.
std::shared_ptr<service::DuvrinXPCServiceProtocol> connect(const FileHandling::Handler& handler,
    std::function<void(ErrorPtr)> onConnectionError)
{
    auto errorHandler = [log = handler.log, onConnectionError = std::move(onConnectionError)](ErrorPtr error) {
        log.error("XPC error: {}:", error ? error->description() : std::string());
        if (onConnectionError)
            onConnectionError(error);
    };
    const auto& services = handler.services;
    if (services.connectToDiskImageService)
        return services.connectToDiskImageService(std::move(errorHandler));
    service::DuvrinXPCConnection connection(service::DuvrinXPCConnection::Options {services.diskImageServiceName});
    return connection.remoteObjectProxyWithErrorHandler(std::move(errorHandler));
}

// The service for one search or clean-up: each call on a connection of its
// own, a connection failure answered to the call it belongs to. The handling
// holds its session, so the session holds a copy of the handler's part, not
// the handling.
std::shared_ptr<DiskImageServiceSession> openSession(const FileHandling::Handler& handler)
{
    return DiskImageServiceSession::make(
        [handler](service::ServiceErrorHandler answerWithError) { return connect(handler, std::move(answerWithError)); },
        FileHandlerError::failedToCastXPCService());
}

} // namespace

void FileHandling::start(Handler handler, URL fileURL, FileSourceConfigurationPtr configuration,
    FileHandler::Completion completion, std::shared_ptr<void> inFlight)
{
    const auto& log = handler.log;
    auto values = ResourceValues::of(fileURL.path());
    // A link handed over is classified and searched as what it points to;
    // the clean-up still acts on the link itself.
    if (values && values->isSymbolicLink)
        values = ResourceValues::of(fileURL.resolvingSymlinksInPath().path());
    if (!values) {
        log.error("Failed to get resource values for {}: {}", fileURL.path().string(), values.error()->description());
        completion(FileOutcome::error(values.error()));
        return;
    }
    if (values->typeIdentifier.empty()) {
        completion(FileOutcome::error(FileHandlerError::missingResourceValue(typeIdentifierKey)));
        return;
    }
    auto destination = destinationFolder(handler.applicationsDestinationManager.get(), *configuration);
    if (!destination) {
        completion(FileOutcome::error(FileHandlerError::configurationDoesNotIncludeDestination()));
        return;
    }
    auto handling = std::make_shared<FileHandling>(std::move(handler), std::move(fileURL), std::move(configuration),
        *destination, FileType(values->typeIdentifier), std::move(completion), std::move(inFlight));
    handling->actOnFileFoundChoice();
}

FileHandling::FileHandling(Handler handler, URL fileURL, FileSourceConfigurationPtr configuration, URL destination,
    FileType fileType, FileHandler::Completion completion, std::shared_ptr<void> inFlight)
    : handler_(std::move(handler))
    , fileURL_(std::move(fileURL))
    , configuration_(std::move(configuration))
    , destination_(std::move(destination))
    , fileType_(std::move(fileType))
    , inFlight_(std::move(inFlight))
    , completion_(std::move(completion))
{
}

// Announces the file by its type and acts on its source's file found choice.
void FileHandling::actOnFileFoundChoice()
{
    const auto& log = handler_.log;
    destinationAccessStarted_ = startAccessingSecurityScopedResource(destination_);
    const std::string path = fileURL_.path().string();

    if (std::holds_alternative<FileType::Zip>(fileType_.value)) {
        log.defaultLevel("Found ZIP archive at {}", path);
    } else if (std::holds_alternative<FileType::Dmg>(fileType_.value)) {
        log.defaultLevel("Found DMG at {}", path);
    } else if (std::holds_alternative<FileType::Pkg>(fileType_.value)) {
        log.defaultLevel("Found PKG archive at {}", path);
    } else if (std::holds_alternative<FileType::Tar>(fileType_.value)) {
        log.defaultLevel("Found tar archive at {}", path);
    } else if (std::holds_alternative<FileType::AppImage>(fileType_.value)) {
        log.defaultLevel("Found AppImage at {}", path);
    } else if (std::holds_alternative<FileType::LinuxPackage>(fileType_.value)) {
        log.defaultLevel("Found {} package at {}", typeName(fileType_), path);
    } else {
        log.info("Unsupported file at {}; type {} is unsupported", path, fileType_.rawValue());
        stop(FileOutcome::error(FileHandlerError::unsupportedFileType(fileType_)));
        return;
    }

    auto fileFoundAction = configuration_->fileFoundAction().currentValue();
    if (fileFoundAction == FileFoundActionOption::alwaysAsk) {
        askAboutFoundFile();
    } else if (fileFoundAction == FileFoundActionOption::searchForApplications) {
        userInputRequestPerformer()->showMessage(foundMessageTitle(fileType_), "Searching for applications in " + path, false);
        search();
    } else {
        // A source set to ignore its files: nothing is done, but the caller
        // still hears about it.
        stop(FileOutcome::ignored());
    }
}

void FileHandling::askAboutFoundFile()
{
    const std::string name = typeName(fileType_);
    auto category = configuration_->fileSource() == FileSource::directory
        ? UserInputRequestPerformer::Category::foundFile
        : UserInputRequestPerformer::Category::foundFileWithoutIgnore;
    userInputRequestPerformer()->requestUserInput(localizedUserNotificationString("Found %@", {name}),
        localizedUserNotificationString("Choose how to handle %@ at %@", {name, fileURL_.path().string()}), category,
        [self = shared_from_this()](Result<UserResponse> response) {
            dispatch::DispatchQueue::global()->async(
                [self, response = std::move(response)] { self->answerAboutFoundFile(response); });
        });
}

void FileHandling::answerAboutFoundFile(const Result<UserResponse>& response)
{
    if (handler_.handler.expired())
        return;
    const auto& log = handler_.log;
    if (!response) {
        log.error("Error asking user input for found file: {}", response.error()->description());
        stop(FileOutcome::error(response.error()));
    } else if (response->isDismissed()) {
        log.info("User dismissed file found notification");
        stop(FileOutcome::dismissed());
    } else if (response->identifier() == UserInputRequestPerformer::findApplicationsAction) {
        search();
    } else if (response->identifier() == UserInputRequestPerformer::ignoreFileAction) {
        stop(FileOutcome::ignored());
    } else {
        log.error("Unknown response to file found notification: {}", response->identifier());
        stop(FileOutcome::error(FileHandlerError::unknownUserInputResponse(response->identifier())));
    }
}

void FileHandling::search()
{
    const auto& log = handler_.log;
    auto rootSource = InstallableApplication::Source::directory(fileURL_.deletingLastPathComponent(), configuration_->fileSource());
    // Results can arrive on a service reply thread; the copy step that
    // follows blocks its thread, so it runs on the global queue.
    auto finished = [self = shared_from_this()](SearchResult result) {
        dispatch::DispatchQueue::global()->async(
            [self, result = std::move(result)]() mutable { self->searchFinished(std::move(result)); });
    };

    if (fileType_.isPackage()) {
        FoundItems items {InstallableApplication {fileURL_, rootSource, InstallableApplication::Kind::package}};
        searchFinished(SearchResult::mapped(fileURL_, std::move(items)));
        return;
    }
    // An AppImage is the application itself: nothing to search.
    if (std::holds_alternative<FileType::AppImage>(fileType_.value)) {
        FoundItems items {InstallableApplication {fileURL_, rootSource, InstallableApplication::Kind::application}};
        searchFinished(SearchResult::mapped(fileURL_, std::move(items)));
        return;
    }

    auto folder = [&]() -> Result<URL> {
        auto temporary = TAVIK_TRY(temporaryDirectory());
        auto url = temporary.appendingPathComponent(UUID().uuidString(), true);
        TAVIK_TRY_VOID(FileManager::defaultManager()->createDirectory(url, true));
        return url;
    }();
    if (!folder) {
        log.error("Failed to create temp directory {}", folder.error()->description());
        searchFinished(SearchResult::failure(fileURL_, folder.error()));
        return;
    }
    workingFolder_ = *folder;

    if (!connect(handler_, nullptr)) {
        stop(FileOutcome::error(FileHandlerError::failedToCastXPCService()));
        return;
    }
    // A call the service cannot answer (it could not be started, it went
    // away, it took too long) fails that call alone: a nested image that
    // cannot be attached adds nothing, the rest of the search goes on.
    service_ = openSession(handler_);
    if (std::holds_alternative<FileType::Dmg>(fileType_.value)) {
        auto action = std::make_shared<FindApplicationsInDMGAction>(*folder, rootSource, service_);
        action->perform(fileURL_, [action, finished](SearchResult result) { finished(std::move(result)); });
    } else if (std::holds_alternative<FileType::Tar>(fileType_.value)) {
        auto action = std::make_shared<ExtractApplicationsInTarAction>(*folder, service_, rootSource);
        action->perform(fileURL_, [action, finished](SearchResult result) { finished(std::move(result)); });
    } else {
        auto action = std::make_shared<ExtractApplicationsInZIPAction>(*folder, service_, rootSource);
        action->perform(fileURL_, [action, finished](SearchResult result) { finished(std::move(result)); });
    }
}

// Acts on the search's result and copies what was found.
void FileHandling::searchFinished(SearchResult result)
{
    const auto& log = handler_.log;
    const std::string path = fileURL_.path().string();
    log.info("Finished performing actions for {}", path);
    if (auto error = result.error()) {
        log.error("Error handling file at {}: {}", path, error->description());
        userInputRequestPerformer()->showError(error);
        finishWithoutCopies(FileOutcome::error(error));
        return;
    }
    if (result.isIgnored()) {
        finishWithoutCopies(FileOutcome::ignored());
        return;
    }

    foundItems_ = std::move(*std::get_if<SearchResult::Mapped>(&result.action)).output;
    log.info("Found {} application(s)", foundItems_.size());
    for (const auto& item : foundItems_)
        collectMountPoints(item.source, mountPoints_);
    log.debug("Applications were found in DMG mountpoints: {}", FileOutcome::describe(mountPoints_));

    if (foundItems_.empty()) {
        finishWithoutCopies(FileOutcome::completed({}));
        return;
    }
    auto copy = std::make_shared<CopyApplicationsAction>(CopyApplicationAction::Destination::directory(destination_),
        configuration_, installableApplicationHandlerLog());
    copy->workingFolder = workingFolder_;
    copy->perform(foundItems_, [self = shared_from_this(), copy](CopyResult copied) {
        self->copyFinished(std::move(copied), copy->wasAnyQuestionDismissed());
    });
}

void FileHandling::finishWithoutCopies(FileOutcome outcome)
{
    // Without images to detach the clean-up is over before the report.
    cleanUp({});
    complete(std::move(outcome));
}

// Reports the copies, opens them and cleans up.
void FileHandling::copyFinished(CopyResult result, bool questionDismissed)
{
    const auto& log = handler_.log;
    if (auto error = result.error()) {
        log.error("Failed to copy applications: {}", error->description());
        complete(FileOutcome::error(error));
        cleanUp({});
        return;
    }
    if (result.isIgnored()) {
        complete(FileOutcome::completed({}));
        cleanUp({});
        return;
    }

    std::vector<URL> copied;
    for (const auto& itemResult : *result.output()) {
        const std::string itemPath = itemResult.input.url.path().string();
        if (auto* url = itemResult.output())
            copied.push_back(*url);
        else if (auto error = itemResult.error())
            log.error("Failed to copy application at {}: {}", itemPath, error->description());
        else
            log.info("Chose not to copy application at {}", itemPath);
    }
    // Nothing copied because the user closed a question without answering:
    // the file is not done with, so it is offered again at its next report.
    complete(copied.empty() && questionDismissed ? FileOutcome::dismissed() : FileOutcome::completed(copied));

    if (!copied.empty()) {
        // The open step may wait for answers; the clean-up does not wait for it.
        auto open = std::make_shared<OpenApplicationsAction>(configuration_, foundItems_, installableApplicationHandlerLog());
        dispatch::DispatchQueue::global()->async([self = shared_from_this(), open, copied] {
            open->perform(copied, [self, open](auto) { self->handler_.log.info("Completed opening applications"); });
        });
    }
    cleanUp(std::move(copied));
}

// Detaches the images the search attached, then the trash step.
void FileHandling::cleanUp(std::vector<URL> copiedApplications)
{
    const auto& log = handler_.log;
    // Images attached on the way that hold none of the found items (nothing
    // was found on them, or the search failed) are detached as well.
    if (service_) {
        for (auto& attached : service_->attachedMountPoints())
            if (std::find(mountPoints_.begin(), mountPoints_.end(), attached) == mountPoints_.end())
                mountPoints_.push_back(std::move(attached));
    }
    for (const auto& item : foundItems_) {
        if (item.kind == InstallableApplication::Kind::package) {
            // The installer still reads the download and what was extracted
            // from it, so nothing is detached, trashed or removed.
            log.info("Found a PKG; not deleting or unmounting to allow package to run ");
            endDestinationAccess();
            return;
        }
    }
    // The trash step runs once, when every detach has answered or when the
    // wait runs out, whichever comes first; it is told whether every detach
    // is over by then.
    detachDiskImages(openSession(handler_), mountPoints_,
        {.answered = [log = log](const URL&, const ErrorPtr&) { log.info("Unmount action completed"); },
            .done = [self = shared_from_this(), copiedApplications](bool detachesOver) { self->trashStep(copiedApplications, detachesOver); },
            .timeout = handler_.services.detachTimeout});
}

void FileHandling::trashStep(const std::vector<URL>& copiedApplications, bool detachesOver)
{
    if (!copiedApplications.empty() && configuration_->allApplicationsHandled().currentValue() == AllApplicationsHandledAction::moveToTrash)
        trashDownload();
    endDestinationAccess();
    if (detachesOver)
        removeWorkingFolder();
    else if (workingFolder_)
        handler_.log.info("Keeping {}: a detach may still be using it", workingFolder_->path().string());
}

// Only what was handed over is trashed: a link is trashed itself, never its
// target. A watched folder's watcher hands over a link's target, which may
// lie anywhere; a file outside the watched folder stays where it is.
void FileHandling::trashDownload()
{
    const auto& log = handler_.log;
    const std::string path = fileURL_.path().string();
    auto watchedFolder = configuration_->watchDirectoryURL();
    if (configuration_->fileSource() == FileSource::directory && (!watchedFolder || !liesIn(fileURL_, *watchedFolder))) {
        log.info("Not trashing {}: it is not in the watched folder", path);
        return;
    }
    bool watchedFolderAccessStarted = watchedFolder && startAccessingSecurityScopedResource(*watchedFolder);
    auto trashed = FileManager::defaultManager()->trashItem(fileURL_);
    if (trashed)
        log.info("Trashed handled file from {}", path);
    else
        log.error("Failed to trash handled file at {}: {}", path, trashed.error()->description());
    if (watchedFolderAccessStarted)
        stopAccessingSecurityScopedResource(*watchedFolder);
}

void FileHandling::removeWorkingFolder()
{
    if (!workingFolder_)
        return;
    auto removed = FileManager::defaultManager()->removeItem(*workingFolder_);
    if (!removed)
        handler_.log.error("Failed to remove temp directory {}: {}", workingFolder_->path().string(), removed.error()->description());
}

void FileHandling::stop(FileOutcome outcome)
{
    endDestinationAccess();
    removeWorkingFolder();
    complete(std::move(outcome));
}

void FileHandling::complete(FileOutcome outcome)
{
    FileHandler::Completion once;
    {
        std::lock_guard lock(completionMutex_);
        once = std::exchange(completion_, nullptr);
    }
    if (once)
        once(std::move(outcome));
}

void FileHandling::endDestinationAccess()
{
    if (destinationAccessStarted_.exchange(false))
        stopAccessingSecurityScopedResource(destination_);
}

std::shared_ptr<UserInputRequestPerformer> FileHandling::userInputRequestPerformer() const
{
    const auto& injected = handler_.services.userInputRequestPerformer;
    return injected ? injected : UserInputRequestPerformer::shared();
}

} // namespace tavik
