#include "Tavik/file-handling/FileHandler.hpp"

#include "Tavik/file-handling/CopyApplicationActions.hpp"
#include "Tavik/file-handling/DiskImageActions.hpp"
#include "Tavik/file-handling/DiskImageDetach.hpp"
#include "Tavik/file-handling/DiskImageServiceSession.hpp"
#include "Tavik/file-handling/OpenApplicationActions.hpp"
#include "Tavik/file-handling/QuestionTexts.hpp"
#include "Tavik/file-handling/TarActions.hpp"
#include "Tavik/file-handling/ZIPActions.hpp"
#include "Tavik/prompts/UserInputRequestPerformer.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/filemanager/FileManager.hpp"
#include "platform/foundation/Bookmark.hpp"
#include "platform/foundation/TemporaryDirectory.hpp"
#include "platform/foundation/TypeIdentifier.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/strings/LocalizedString.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace tavik {

namespace {

using FoundItems = std::vector<InstallableApplication>;
using SearchResult = actions::FileActionResult<URL, FoundItems>;
using CopyResult = actions::FileActionResult<CopyApplicationsAction::Input, CopyApplicationsAction::Output>;
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

std::string describe(const std::vector<URL>& urls)
{
    std::string text = "[";
    for (size_t i = 0; i < urls.size(); ++i)
        text += (i ? ", " : "") + urls[i].description();
    return text + "]";
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

} // namespace

struct FileHandler::Steps {
    // Everything about one file, shared by all the steps of its handling.
    struct Context {
        Context(URL fileURL, FileSourceConfigurationPtr configuration, URL destination, FileType fileType, Completion completion)
            : fileURL(std::move(fileURL))
            , configuration(std::move(configuration))
            , destination(std::move(destination))
            , fileType(std::move(fileType))
            , completion(std::move(completion))
        {
        }

        URL fileURL;
        FileSourceConfigurationPtr configuration;
        URL destination;
        std::atomic<bool> destinationAccessStarted = false;
        FileType fileType;
        // The folder a disk image or archive search extracts into, once made.
        std::optional<URL> workingFolder;
        // The service as the search called it; it knows what was attached.
        std::shared_ptr<DiskImageServiceSession> service;
        FoundItems foundItems;
        // What the clean-up detaches: the mount points of the found items,
        // then every other image the search attached.
        std::vector<URL> mountPoints;

        void complete(FileHandler::FileOutcome outcome)
        {
            FileHandler::Completion once;
            {
                std::lock_guard lock(mutex);
                once = std::exchange(completion, nullptr);
            }
            if (once)
                once(std::move(outcome));
        }

        // Ends the destination access started for this file, once.
        void endDestinationAccess()
        {
            if (destinationAccessStarted.exchange(false))
                stopAccessingSecurityScopedResource(destination);
        }

        std::mutex mutex;
        FileHandler::Completion completion;
        // Keeps the file counted as in flight while any step holds the context.
        std::shared_ptr<void> inFlight;
    };
    using ContextPtr = std::shared_ptr<Context>;
    using Self = std::shared_ptr<FileHandler>;

    static std::optional<URL> destinationFolder(const Self& self, const FileSourceConfiguration& configuration);
    static std::shared_ptr<UserInputRequestPerformer> userInputRequestPerformer(const Self& self);
    // A new connection to the disk image service; its error handler logs and
    // then calls onConnectionError, if given. Null when it yields no proxy.
    static std::shared_ptr<service::DuvrinXPCServiceProtocol> connect(const Self& self, std::function<void(ErrorPtr)> onConnectionError);
    // The service for one search or clean-up: each call on a connection of
    // its own, a connection failure answered to the call it belongs to.
    static std::shared_ptr<DiskImageServiceSession> openSession(const Self& self);

    static void handle(const Self& self, URL fileURL, FileSourceConfigurationPtr configuration, Completion completion,
        std::shared_ptr<void> inFlight);
    static void askAboutFoundFile(const Self& self, const ContextPtr& context);
    static void search(const Self& self, const ContextPtr& context);
    static void searchFinished(const Self& self, const ContextPtr& context, SearchResult result);
    static void copyFinished(const Self& self, const ContextPtr& context, CopyResult result, bool questionDismissed);
    // A search that found nothing to copy: the clean-up, then the outcome.
    static void finishWithoutCopies(const Self& self, const ContextPtr& context, FileOutcome outcome);
    static void cleanUp(const Self& self, const ContextPtr& context, std::vector<URL> copiedApplications);
    // Runs once the detaches are over or their wait ran out; a working
    // folder that a detach may still use is kept.
    static void trashStep(const Self& self, const ContextPtr& context, const std::vector<URL>& copiedApplications,
        bool detachesOver = true);
    static void trashDownload(const Self& self, const ContextPtr& context);
    static void removeWorkingFolder(const Self& self, const ContextPtr& context);
    // Ends a handling that stopped before the clean-up: the destination
    // access ends and the working folder goes.
    static void stop(const Self& self, const ContextPtr& context, FileOutcome outcome);
};

// FileOutcome

std::string FileHandler::FileOutcome::description() const
{
    return std::visit(
        [](const auto& value) -> std::string {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Completed>)
                return "completed(" + describe(value.copiedApplications) + ")";
            else if constexpr (std::is_same_v<T, Failed>)
                return "error(" + (value.error ? value.error->description() : std::string()) + ")";
            else if constexpr (std::is_same_v<T, Ignored>)
                return "ignored";
            else
                return "dismissed";
        },
        value);
}

// FileHandler::Error

FileHandler::Error::Error(Code code, std::string payload, FileType fileType)
    : code_(code)
    , payload_(std::move(payload))
    , fileType_(std::move(fileType))
{
}

ErrorPtr FileHandler::Error::missingResourceValue(std::string resourceKey)
{
    return std::make_shared<const Error>(Code::missingResourceValue, std::move(resourceKey), FileType::unsupported({}));
}

ErrorPtr FileHandler::Error::unsupportedFileType(FileType fileType)
{
    return std::make_shared<const Error>(Code::unsupportedFileType, std::string(), std::move(fileType));
}

ErrorPtr FileHandler::Error::unknownUserInputResponse(std::string identifier)
{
    return std::make_shared<const Error>(Code::unknownUserInputResponse, std::move(identifier), FileType::unsupported({}));
}

ErrorPtr FileHandler::Error::configurationDoesNotIncludeDestination()
{
    return std::make_shared<const Error>(Code::configurationDoesNotIncludeDestination, std::string(), FileType::unsupported({}));
}

ErrorPtr FileHandler::Error::failedToCastXPCService()
{
    return std::make_shared<const Error>(Code::failedToCastXPCService, std::string(), FileType::unsupported({}));
}

std::string FileHandler::Error::description() const
{
    switch (code_) {
    case Code::missingResourceValue:
        return fmt::format("The file system returned no value for {}", payload_);
    case Code::unsupportedFileType:
        return fmt::format("Files of type {} are not supported", fileType_.rawValue());
    case Code::unknownUserInputResponse:
        return fmt::format("Unknown response to file found notification: {}", payload_);
    case Code::configurationDoesNotIncludeDestination:
        return "No destination folder is set for this source";
    case Code::failedToCastXPCService:
        return "Could not connect to the disk image service";
    }
    return "Unknown file handler error";
}

// FileHandler

FileHandler::FileHandler(std::shared_ptr<ApplicationsDestinationManager> applicationsDestinationManager, log::Logger log)
    : FileHandler(std::move(applicationsDestinationManager), std::move(log), Services{})
{
}

FileHandler::FileHandler(std::shared_ptr<ApplicationsDestinationManager> applicationsDestinationManager, log::Logger log, Services services)
    : applicationsDestinationManager(std::move(applicationsDestinationManager))
    , log(std::move(log))
    , services_(std::move(services))
    , inFlight_(std::make_shared<dispatch::DispatchGroup>())
{
}

void FileHandler::handleFile(URL fileURL, FileSourceConfigurationPtr configuration, Completion completion)
{
    inFlight_->enter();
    std::shared_ptr<void> inFlight(nullptr, [group = inFlight_](void*) { group->leave(); });
    dispatch::DispatchQueue::global()->async(
        [self = shared_from_this(), fileURL = std::move(fileURL), configuration = std::move(configuration),
            completion = std::move(completion), inFlight = std::move(inFlight)]() mutable {
            Steps::handle(self, std::move(fileURL), std::move(configuration), std::move(completion), std::move(inFlight));
        });
}

bool FileHandler::waitUntilIdle(std::chrono::milliseconds timeout) const
{
    return inFlight_->waitFor(timeout);
}

std::shared_ptr<service::DuvrinXPCServiceProtocol> FileHandler::Steps::connect(const Self& self, std::function<void(ErrorPtr)> onConnectionError)
{
    auto errorHandler = [log = self->log, onConnectionError = std::move(onConnectionError)](ErrorPtr error) {
        log.error("XPC error: {}:", error ? error->description() : std::string());
        if (onConnectionError)
            onConnectionError(error);
    };
    if (self->services_.connectToDiskImageService)
        return self->services_.connectToDiskImageService(std::move(errorHandler));
    service::DuvrinXPCConnection connection(service::DuvrinXPCConnection::Options{self->services_.diskImageServiceName});
    return connection.remoteObjectProxyWithErrorHandler(std::move(errorHandler));
}

std::shared_ptr<DiskImageServiceSession> FileHandler::Steps::openSession(const Self& self)
{
    return DiskImageServiceSession::make(
        [self](service::ServiceErrorHandler answerWithError) { return connect(self, std::move(answerWithError)); },
        Error::failedToCastXPCService());
}

std::shared_ptr<UserInputRequestPerformer> FileHandler::Steps::userInputRequestPerformer(const Self& self)
{
    const auto& injected = self->services_.userInputRequestPerformer;
    return injected ? injected : UserInputRequestPerformer::shared();
}

// The configuration's destination folder; none when it names no destination,
// the destination is unknown or its bookmark does not resolve.
std::optional<URL> FileHandler::Steps::destinationFolder(const Self& self, const FileSourceConfiguration& configuration)
{
    auto uuid = configuration.destinationBookmarkUUID().currentValue();
    if (!uuid || !self->applicationsDestinationManager)
        return std::nullopt;
    auto destination = self->applicationsDestinationManager->destination(*uuid);
    if (!destination)
        return std::nullopt;
    auto url = destination->url();
    if (!url)
        return std::nullopt;
    return *url;
}

// Steps 1 to 7: classify the file and act on the file found choice.
void FileHandler::Steps::handle(const Self& self, URL fileURL, FileSourceConfigurationPtr configuration, Completion completion,
    std::shared_ptr<void> inFlight)
{
    const auto& log = self->log;
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
        completion(FileOutcome::error(Error::missingResourceValue(typeIdentifierKey)));
        return;
    }
    FileType fileType(values->typeIdentifier);

    auto destination = destinationFolder(self, *configuration);
    if (!destination) {
        completion(FileOutcome::error(Error::configurationDoesNotIncludeDestination()));
        return;
    }

    auto context = std::make_shared<Context>(std::move(fileURL), std::move(configuration), *destination, fileType, std::move(completion));
    context->inFlight = std::move(inFlight);
    context->destinationAccessStarted = startAccessingSecurityScopedResource(*destination);
    const std::string path = context->fileURL.path().string();

    if (std::holds_alternative<FileType::Zip>(fileType.value)) {
        log.defaultLevel("Found ZIP archive at {}", path);
    } else if (std::holds_alternative<FileType::Dmg>(fileType.value)) {
        log.defaultLevel("Found DMG at {}", path);
    } else if (std::holds_alternative<FileType::Pkg>(fileType.value)) {
        log.defaultLevel("Found PKG archive at {}", path);
    } else if (std::holds_alternative<FileType::Tar>(fileType.value)) {
        log.defaultLevel("Found tar archive at {}", path);
    } else if (std::holds_alternative<FileType::AppImage>(fileType.value)) {
        log.defaultLevel("Found AppImage at {}", path);
    } else if (std::holds_alternative<FileType::LinuxPackage>(fileType.value)) {
        log.defaultLevel("Found {} package at {}", typeName(fileType), path);
    } else {
        log.info("Unsupported file at {}; type {} is unsupported", path, values->typeIdentifier);
        stop(self, context, FileOutcome::error(Error::unsupportedFileType(fileType)));
        return;
    }

    auto fileFoundAction = context->configuration->fileFoundAction().currentValue();
    if (fileFoundAction == FileFoundActionOption::alwaysAsk) {
        askAboutFoundFile(self, context);
    } else if (fileFoundAction == FileFoundActionOption::searchForApplications) {
        userInputRequestPerformer(self)->showMessage(
            foundMessageTitle(fileType), "Searching for applications in " + path, false);
        search(self, context);
    } else {
        // A source set to ignore its files: nothing is done, but the caller
        // still hears about it.
        stop(self, context, FileOutcome::ignored());
    }
}

// Steps 8 and 9: the file found question and its answer.
void FileHandler::Steps::askAboutFoundFile(const Self& self, const ContextPtr& context)
{
    const std::string name = typeName(context->fileType);
    auto category = context->configuration->fileSource() == FileSource::directory
        ? UserInputRequestPerformer::Category::foundFile
        : UserInputRequestPerformer::Category::foundFileWithoutIgnore;
    std::weak_ptr<FileHandler> weakSelf = self;
    userInputRequestPerformer(self)->requestUserInput(localizedUserNotificationString("Found %@", {name}),
        localizedUserNotificationString("Choose how to handle %@ at %@", {name, context->fileURL.path().string()}), category,
        [weakSelf, context](Result<UserResponse> response) {
            dispatch::DispatchQueue::global()->async([weakSelf, context, response = std::move(response)] {
                auto self = weakSelf.lock();
                if (!self)
                    return;
                const auto& log = self->log;
                if (!response) {
                    log.error("Error asking user input for found file: {}", response.error()->description());
                    stop(self, context, FileOutcome::error(response.error()));
                } else if (response->isDismissed()) {
                    log.info("User dismissed file found notification");
                    stop(self, context, FileOutcome::dismissed());
                } else if (response->identifier() == UserInputRequestPerformer::findApplicationsAction) {
                    search(self, context);
                } else if (response->identifier() == UserInputRequestPerformer::ignoreFileAction) {
                    stop(self, context, FileOutcome::ignored());
                } else {
                    log.error("Unknown response to file found notification: {}", response->identifier());
                    stop(self, context, FileOutcome::error(Error::unknownUserInputResponse(response->identifier())));
                }
            });
        });
}

// Step 10: search the file for applications.
void FileHandler::Steps::search(const Self& self, const ContextPtr& context)
{
    const auto& log = self->log;
    auto rootSource = InstallableApplication::Source::directory(
        context->fileURL.deletingLastPathComponent(), context->configuration->fileSource());
    // Results can arrive on a service reply thread; the copy step that
    // follows blocks its thread, so it runs on the global queue.
    auto finished = [self, context](SearchResult result) {
        dispatch::DispatchQueue::global()->async(
            [self, context, result = std::move(result)]() mutable { searchFinished(self, context, std::move(result)); });
    };

    if (context->fileType.isPackage()) {
        FoundItems items{InstallableApplication{context->fileURL, rootSource, InstallableApplication::Kind::package}};
        searchFinished(self, context, SearchResult::mapped(context->fileURL, std::move(items)));
        return;
    }
    // An AppImage is the application itself: nothing to search.
    if (std::holds_alternative<FileType::AppImage>(context->fileType.value)) {
        FoundItems items{InstallableApplication{context->fileURL, rootSource, InstallableApplication::Kind::application}};
        searchFinished(self, context, SearchResult::mapped(context->fileURL, std::move(items)));
        return;
    }

    auto folder = [&]() -> Result<URL> {
        auto temporary = temporaryDirectory();
        if (!temporary)
            return temporary.error();
        auto url = temporary->appendingPathComponent(UUID().uuidString(), true);
        auto created = FileManager::defaultManager()->createDirectory(url, true);
        if (!created)
            return created.error();
        return url;
    }();
    if (!folder) {
        log.error("Failed to create temp directory {}", folder.error()->description());
        searchFinished(self, context, SearchResult::failure(context->fileURL, folder.error()));
        return;
    }
    context->workingFolder = *folder;

    if (!connect(self, nullptr)) {
        stop(self, context, FileOutcome::error(Error::failedToCastXPCService()));
        return;
    }
    // A call the service cannot answer (it could not be started, it went
    // away, it took too long) fails that call alone: a nested image that
    // cannot be attached adds nothing, the rest of the search goes on.
    context->service = openSession(self);
    if (std::holds_alternative<FileType::Dmg>(context->fileType.value)) {
        auto action = std::make_shared<FindApplicationsInDMGAction>(*folder, rootSource, context->service);
        action->perform(context->fileURL, [action, finished](SearchResult result) { finished(std::move(result)); });
    } else if (std::holds_alternative<FileType::Tar>(context->fileType.value)) {
        auto action = std::make_shared<ExtractApplicationsInTarAction>(*folder, context->service, rootSource);
        action->perform(context->fileURL, [action, finished](SearchResult result) { finished(std::move(result)); });
    } else {
        auto action = std::make_shared<ExtractApplicationsInZIPAction>(*folder, context->service, rootSource);
        action->perform(context->fileURL, [action, finished](SearchResult result) { finished(std::move(result)); });
    }
}

// Steps 11 and 12: act on the search's result and copy what was found.
void FileHandler::Steps::searchFinished(const Self& self, const ContextPtr& context, SearchResult result)
{
    const auto& log = self->log;
    const std::string path = context->fileURL.path().string();
    log.info("Finished performing actions for {}", path);
    if (auto error = result.error()) {
        log.error("Error handling file at {}: {}", path, error->description());
        userInputRequestPerformer(self)->showError(error);
        finishWithoutCopies(self, context, FileOutcome::error(error));
        return;
    }
    if (result.isIgnored()) {
        finishWithoutCopies(self, context, FileOutcome::ignored());
        return;
    }

    context->foundItems = std::move(*std::get_if<SearchResult::Mapped>(&result.action)).output;
    log.info("Found {} application(s)", context->foundItems.size());
    for (const auto& item : context->foundItems)
        collectMountPoints(item.source, context->mountPoints);
    log.debug("Applications were found in DMG mountpoints: {}", describe(context->mountPoints));

    if (context->foundItems.empty()) {
        finishWithoutCopies(self, context, FileOutcome::completed({}));
        return;
    }
    auto copy = std::make_shared<CopyApplicationsAction>(CopyApplicationAction::Destination::directory(context->destination),
        context->configuration, installableApplicationHandlerLog());
    copy->workingFolder = context->workingFolder;
    copy->perform(context->foundItems, [self, context, copy](CopyResult copied) {
        copyFinished(self, context, std::move(copied), copy->wasAnyQuestionDismissed());
    });
}

void FileHandler::Steps::finishWithoutCopies(const Self& self, const ContextPtr& context, FileOutcome outcome)
{
    // Without images to detach the clean-up is over before the report.
    cleanUp(self, context, {});
    context->complete(std::move(outcome));
}

// Step 13: report the copies, open them and clean up.
void FileHandler::Steps::copyFinished(const Self& self, const ContextPtr& context, CopyResult result, bool questionDismissed)
{
    const auto& log = self->log;
    if (auto error = result.error()) {
        log.error("Failed to copy applications: {}", error->description());
        context->complete(FileOutcome::error(error));
        cleanUp(self, context, {});
        return;
    }
    if (result.isIgnored()) {
        context->complete(FileOutcome::completed({}));
        cleanUp(self, context, {});
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
    context->complete(copied.empty() && questionDismissed ? FileOutcome::dismissed() : FileOutcome::completed(copied));

    if (!copied.empty()) {
        // The open step may wait for answers; the clean-up does not wait for it.
        auto open = std::make_shared<OpenApplicationsAction>(context->configuration, context->foundItems, installableApplicationHandlerLog());
        dispatch::DispatchQueue::global()->async([log = log, open, copied, inFlight = context->inFlight] {
            open->perform(copied, [log, open, inFlight](auto) { log.info("Completed opening applications"); });
        });
    }
    cleanUp(self, context, std::move(copied));
}

// Step 15: detach the images the search attached, then the trash step.
void FileHandler::Steps::cleanUp(const Self& self, const ContextPtr& context, std::vector<URL> copiedApplications)
{
    const auto& log = self->log;
    // Images attached on the way that hold none of the found items (nothing
    // was found on them, or the search failed) are detached as well.
    if (context->service) {
        for (auto& attached : context->service->attachedMountPoints())
            if (std::find(context->mountPoints.begin(), context->mountPoints.end(), attached) == context->mountPoints.end())
                context->mountPoints.push_back(std::move(attached));
    }
    for (const auto& item : context->foundItems) {
        if (item.kind == InstallableApplication::Kind::package) {
            // The installer still reads the download and what was extracted
            // from it, so nothing is detached, trashed or removed.
            log.info("Found a PKG; not deleting or unmounting to allow package to run ");
            context->endDestinationAccess();
            return;
        }
    }
    // The trash step runs once, when every detach has answered or when the
    // wait runs out, whichever comes first; it is told whether every detach
    // is over by then.
    detachDiskImages(openSession(self), context->mountPoints,
        {.answered = [log = log](const URL&, const ErrorPtr&) { log.info("Unmount action completed"); },
            .done = [self, context, copiedApplications](bool detachesOver) { trashStep(self, context, copiedApplications, detachesOver); },
            .timeout = self->services_.detachTimeout});
}

void FileHandler::Steps::trashStep(const Self& self, const ContextPtr& context, const std::vector<URL>& copiedApplications,
    bool detachesOver)
{
    if (!copiedApplications.empty() && context->configuration->allApplicationsHandled().currentValue() == AllApplicationsHandledAction::moveToTrash)
        trashDownload(self, context);
    context->endDestinationAccess();
    if (detachesOver)
        removeWorkingFolder(self, context);
    else if (context->workingFolder)
        self->log.info("Keeping {}: a detach may still be using it", context->workingFolder->path().string());
}

namespace {

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

} // namespace

// Only what was handed over is trashed: a link is trashed itself, never its
// target. A watched folder's watcher hands over a link's target, which may
// lie anywhere; a file outside the watched folder stays where it is.
void FileHandler::Steps::trashDownload(const Self& self, const ContextPtr& context)
{
    const auto& log = self->log;
    const std::string path = context->fileURL.path().string();
    auto watchedFolder = context->configuration->watchDirectoryURL();
    if (context->configuration->fileSource() == FileSource::directory && (!watchedFolder || !liesIn(context->fileURL, *watchedFolder))) {
        log.info("Not trashing {}: it is not in the watched folder", path);
        return;
    }
    bool watchedFolderAccessStarted = watchedFolder && startAccessingSecurityScopedResource(*watchedFolder);
    auto trashed = FileManager::defaultManager()->trashItem(context->fileURL);
    if (trashed)
        log.info("Trashed handled file from {}", path);
    else
        log.error("Failed to trash handled file at {}: {}", path, trashed.error()->description());
    if (watchedFolderAccessStarted)
        stopAccessingSecurityScopedResource(*watchedFolder);
}

void FileHandler::Steps::removeWorkingFolder(const Self& self, const ContextPtr& context)
{
    if (!context->workingFolder)
        return;
    auto removed = FileManager::defaultManager()->removeItem(*context->workingFolder);
    if (!removed)
        self->log.error("Failed to remove temp directory {}: {}", context->workingFolder->path().string(), removed.error()->description());
}

void FileHandler::Steps::stop(const Self& self, const ContextPtr& context, FileOutcome outcome)
{
    context->endDestinationAccess();
    removeWorkingFolder(self, context);
    context->complete(std::move(outcome));
}

} // namespace tavik
