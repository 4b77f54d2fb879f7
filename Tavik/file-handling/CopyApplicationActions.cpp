#include "Tavik/file-handling/CopyApplicationActions.hpp"

#include "Tavik/file-handling/AppImageInstallation.hpp"
#include "Tavik/file-handling/QuestionTexts.hpp"
#include "Tavik/prompts/UserInputRequestPerformer.hpp"
#include "actions/ActionsLog.hpp"
#include "platform/foundation/FileError.hpp"

#include <filesystem>
#include <string_view>

namespace tavik {

using actions::ContinueDecision;
using ExistingApplicationAction = CopyApplicationAction::ExistingApplicationAction;
using CopyResult = actions::FileActionResult<InstallableApplication, URL>;

namespace {

// An AppImage runs as it lies: its copy is made executable and gets its
// launcher entry. Other copies are done once copied.
Result<void> finishCopy(const URL& copy, const log::Logger& log)
{
    if (!AppImageInstallation::isAppImage(copy.path()))
        return {};
    TAVIK_TRY_VOID(AppImageInstallation::makeExecutable(copy.path()));
    if (auto integrated = AppImageInstallation::standard().integrate(copy.path()); !integrated)
        log.error("Failed to add a launcher entry for {}: {}", copy.path().string(), integrated.error()->description());
    return {};
}

std::string pathOf(const URL& url)
{
    return url.path().string();
}

// What is shown while a copy that replaced or renamed runs; announced only,
// never asked.
void showCopyingMessage(const InstallableApplication& item, const URL& copyURL)
{
    UserInputRequestPerformer::shared()->showMessage(CopyApplicationAction::copyingTitle(item),
        "Application from " + pathOf(item.source.root().url) + " is being copied to " + pathOf(copyURL), false);
}

// Whether a copy failed only because something appeared at the destination
// after it was found free.
bool takenMeanwhile(const ErrorPtr& error, const URL& destination)
{
    auto* fileError = dynamic_cast<const FileError*>(error.get());
    return fileError && fileError->fileCode() == FileError::Code::fileWriteFileExists && fileError->path() == destination.path();
}

} // namespace

CopyApplicationAction::Destination CopyApplicationAction::Destination::directory(URL folder)
{
    return {Kind::directory, std::move(folder)};
}

CopyApplicationAction::Destination CopyApplicationAction::Destination::path(URL file)
{
    return {Kind::path, std::move(file)};
}

CopyApplicationAction::CopyApplicationAction(Destination destination, ExistingApplicationHandler existingApplicationHandler,
    std::shared_ptr<FileManager> fileManager, log::Logger log)
    : destination(std::move(destination))
    , existingApplicationHandler(std::move(existingApplicationHandler))
    , fileManager(std::move(fileManager))
    , log(std::move(log))
{
}

URL CopyApplicationAction::targetURL(const InstallableApplication& item) const
{
    if (destination.kind == Destination::Kind::path)
        return destination.url;
    // A copy is what the item is: a bundle folder, or a file (an AppImage).
    return destination.url.appendingPathComponent(item.url.lastPathComponent(), item.url.hasDirectoryPath());
}

URL CopyApplicationAction::renamedURL(const URL& target, unsigned number)
{
    std::filesystem::path name = target.lastPathComponent();
    std::string renamed = name.stem().string() + " " + std::to_string(number) + name.extension().string();
    return target.deletingLastPathComponent().appendingPathComponent(renamed, target.hasDirectoryPath());
}

std::string CopyApplicationAction::copyingTitle(const InstallableApplication& item)
{
    constexpr std::string_view bundleSuffix = ".app";
    std::string name = item.url.lastPathComponent();
    if (name.size() > bundleSuffix.size() && name.ends_with(bundleSuffix))
        name.resize(name.size() - bundleSuffix.size());
    return "Copying " + name;
}

void CopyApplicationAction::perform(InstallableApplication item, actions::Completion<Input, Output> completion) const
{
    if (item.kind == InstallableApplication::Kind::package) {
        URL url = item.url;
        completion(CopyResult::mapped(std::move(item), std::move(url)));
        return;
    }

    URL target = targetURL(item);
    if (!fileManager->fileExists(target)) {
        auto copied = place(item, target);
        if (copied)
            copied = finishCopy(target, log);
        if (!copied) {
            log.error("Failed to copy application from {} to {}: {}", pathOf(item.url), pathOf(target), copied.error()->description());
            completion(CopyResult::failure(std::move(item), copied.error()));
            return;
        }
        log.info("Copied application from {} to {}", pathOf(item.url), pathOf(target));
        completion(CopyResult::mapped(std::move(item), std::move(target)));
        return;
    }

    existingApplicationHandler(item, target,
        [self = *this, item, target, completion = std::move(completion)](Result<ExistingApplicationAction> answer) {
            if (!answer) {
                completion(CopyResult::failure(item, answer.error()));
                return;
            }
            switch (*answer) {
            case ExistingApplicationAction::ignore:
                completion(CopyResult::ignored(item));
                return;
            case ExistingApplicationAction::trashExistingApplication:
                self.replaceExisting(item, target, completion);
                return;
            case ExistingApplicationAction::renameNewApplication:
                self.copyRenamed(item, target, completion);
                return;
            }
        });
}

bool CopyApplicationAction::isExtracted(const InstallableApplication& item) const
{
    // Items of a ZIP or tar archive lie in the working folder; an image's
    // items lie on its volume and a download handed over as-is is the user's.
    if (!workingFolder || !std::holds_alternative<InstallableApplication::Source::ZIP>(item.source.value))
        return false;
    auto relative = item.url.path().lexically_normal().lexically_relative(workingFolder->path().lexically_normal());
    return !relative.empty() && *relative.begin() != ".." && *relative.begin() != ".";
}

Result<void> CopyApplicationAction::place(const InstallableApplication& item, const URL& target) const
{
    auto fileManager = FileManager::defaultManager();
    if (isExtracted(item))
        return fileManager->moveOwnItem(item.url, target);
    return fileManager->copyItem(item.url, target);
}

void CopyApplicationAction::replaceExisting(
    const InstallableApplication& item, const URL& target, const actions::Completion<Input, Output>& completion) const
{
    auto fileManager = FileManager::defaultManager();
    if (auto trashed = fileManager->trashItem(target); !trashed) {
        completion(CopyResult::failure(item, trashed.error()));
        return;
    }
    log.info("Trashed application from {}", pathOf(target));
    showCopyingMessage(item, target);
    auto copied = place(item, target);
    if (copied)
        copied = finishCopy(target, log);
    if (!copied) {
        completion(CopyResult::failure(item, copied.error()));
        return;
    }
    log.info("Copied application from {} to {}", pathOf(item.url), pathOf(target));
    completion(CopyResult::mapped(item, target));
}

void CopyApplicationAction::copyRenamed(
    const InstallableApplication& item, const URL& target, const actions::Completion<Input, Output>& completion) const
{
    auto fileManager = FileManager::defaultManager();
    log.info("Renaming application before moving");
    unsigned number = 2;
    for (;;) {
        URL candidate = renamedURL(target, number);
        if (fileManager->fileExists(candidate)) {
            log.defaultLevel("File exists at {}", pathOf(candidate));
            ++number;
            continue;
        }
        showCopyingMessage(item, candidate);
        auto copied = place(item, candidate);
        if (copied && !(copied = finishCopy(candidate, log))) {
            completion(CopyResult::failure(item, copied.error()));
            return;
        }
        if (copied) {
            log.info("Copied application from {} to {}", pathOf(item.url), pathOf(candidate));
            completion(CopyResult::mapped(item, candidate));
            return;
        }
        // Another copy took the name between the check and the copy (the
        // copy never replaces anything): go on with the next number. Any
        // other failure ends the numbering.
        if (!takenMeanwhile(copied.error(), candidate)) {
            completion(CopyResult::failure(item, copied.error()));
            return;
        }
        log.defaultLevel("File exists at {}", pathOf(candidate));
        ++number;
    }
}

CopyApplicationsAction::CopyApplicationsAction(
    CopyApplicationAction::Destination destination, FileSourceConfigurationPtr fileSource, log::Logger log)
    : destination(std::move(destination))
    , fileSource(std::move(fileSource))
    , log(std::move(log))
{
}

void CopyApplicationsAction::perform(Input items, actions::Completion<Input, Output> completion) const
{
    CopyApplicationAction copy(destination, existingApplicationQuestion(), FileManager::defaultManager(),
        actions::actionsLog("Copy Applications"));
    copy.workingFolder = workingFolder;
    actions::PassthroughAction<Input>().mapEach(std::move(copy), copyDecision()).perform(std::move(items), std::move(completion));
}

CopyApplicationAction::ExistingApplicationHandler CopyApplicationsAction::existingApplicationQuestion() const
{
    using Performer = UserInputRequestPerformer;
    std::weak_ptr<const CopyApplicationsAction> weakSelf = weak_from_this();
    return [weakSelf](const InstallableApplication& item, const URL& target,
               std::function<void(Result<ExistingApplicationAction>)> answer) {
        Performer::shared()->requestUserInput(questions::applicationExistsTitle(),
            questions::applicationExistsBody(item.url, target), Performer::Category::applicationExistsAtDestination,
            [weakSelf, answer = std::move(answer)](Result<UserResponse> response) {
                auto self = weakSelf.lock();
                if (!self) {
                    // Nobody waits for the copy any more: leave the existing one alone.
                    answer(ExistingApplicationAction::ignore);
                    return;
                }
                if (!response) {
                    self->log.error("Failed to ask user how to handle existing application: {}", response.error()->description());
                    answer(response.error());
                    return;
                }
                if (response->isDismissed()) {
                    self->questionDismissed_ = true;
                    answer(ExistingApplicationAction::ignore);
                    return;
                }
                const std::string& identifier = response->identifier();
                if (identifier == Performer::overwriteApplicationAction)
                    answer(ExistingApplicationAction::trashExistingApplication);
                else if (identifier == Performer::renameAndMoveApplicationAction)
                    answer(ExistingApplicationAction::renameNewApplication);
                else {
                    if (identifier != Performer::ignoreFileAction)
                        self->log.error("Unknown identifier: {}", identifier);
                    answer(ExistingApplicationAction::ignore);
                }
            });
    };
}

CopyApplicationsAction::CopyDecisionHandler CopyApplicationsAction::copyDecision() const
{
    using Performer = UserInputRequestPerformer;
    std::weak_ptr<const CopyApplicationsAction> weakSelf = weak_from_this();
    return [weakSelf, fileSource = fileSource](const InstallableApplication& item, const Input& all,
               std::function<void(Result<ContinueDecision>)> decide) {
        switch (fileSource->applicationFoundAction().currentValue()) {
        case options::ApplicationFoundActionOption::copyToDestination:
            decide(ContinueDecision::continue_);
            return;
        case options::ApplicationFoundActionOption::askWhenMultipleFound:
            if (all.size() < 2) {
                decide(ContinueDecision::continue_);
                return;
            }
            break;
        case options::ApplicationFoundActionOption::alwaysAsk:
            break;
        }
        Performer::shared()->requestUserInput(questions::foundApplicationTitle(), questions::chooseHowToHandleBody(item.url),
            Performer::Category::foundApplication, [weakSelf, decide = std::move(decide)](Result<UserResponse> response) {
                auto self = weakSelf.lock();
                if (!self) {
                    decide(ContinueDecision::ignore);
                    return;
                }
                if (!response) {
                    self->log.error("Failed to ask user how to handle found application: {}", response.error()->description());
                    decide(response.error());
                    return;
                }
                if (response->isDismissed())
                    self->questionDismissed_ = true;
                if (!response->isDismissed() && response->identifier() == Performer::copyApplicationAction) {
                    decide(ContinueDecision::continue_);
                    return;
                }
                if (!response->isDismissed() && response->identifier() != Performer::ignoreFileAction)
                    self->log.error("Unknown identifier: {}", response->identifier());
                decide(ContinueDecision::ignore);
            });
    };
}

} // namespace tavik
