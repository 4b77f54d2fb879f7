#include "Tavik/file-handling/OpenApplicationActions.hpp"

#include "Tavik/file-handling/QuestionTexts.hpp"
#include "Tavik/prompts/UserInputRequestPerformer.hpp"
#include "actions/ActionsLog.hpp"

namespace tavik {

using actions::ContinueDecision;
using OpenResult = actions::FileActionResult<URL, RunningApplicationPtr>;

ErrorPtr OpenApplicationAction::Error::openError(ErrorPtr error)
{
    return std::make_shared<const Error>(Code::openError, std::move(error));
}

ErrorPtr OpenApplicationAction::Error::invalidResult()
{
    return std::make_shared<const Error>(Code::invalidResult, nullptr);
}

ErrorPtr OpenApplicationAction::Error::untrustedApplication()
{
    return std::make_shared<const Error>(Code::untrustedApplication, nullptr);
}

OpenApplicationAction::Error::Error(Code code, ErrorPtr underlying)
    : code_(code)
    , underlying_(std::move(underlying))
{
}

std::string OpenApplicationAction::Error::description() const
{
    switch (code_) {
    case Code::openError:
        return underlying_ ? underlying_->description() : "The system returned an invalid result";
    case Code::invalidResult:
        return "The system returned an invalid result";
    case Code::untrustedApplication:
        return "The application cannot be opened automatically. Try opening with right click => open.";
    }
    return {};
}

OpenApplicationAction::OpenApplicationAction(std::shared_ptr<Workspace> workspace, log::Logger log)
    : workspace(std::move(workspace))
    , log(std::move(log))
{
}

void OpenApplicationAction::perform(URL url, actions::Completion<Input, Output> completion) const
{
    std::string path = url.path().string();
    log.info("Attempting to open application at {}", path);
    workspace->openApplication(url, OpenConfiguration {},
        [log = log, url, path, completion = std::move(completion)](RunningApplicationPtr application, ErrorPtr error) {
            if (application) {
                if (!application->isTerminated() || application->launchDate()) {
                    log.debug("Opened application at {}", path);
                    completion(OpenResult::mapped(url, std::move(application)));
                } else {
                    log.debug("Application at {} couldn't be opened. Likely untrusted.", path);
                    completion(OpenResult::failure(url, Error::untrustedApplication()));
                }
                return;
            }
            if (error) {
                log.error("Failed to open application at {}: {}", path, error->description());
                completion(OpenResult::failure(url, Error::openError(std::move(error))));
                return;
            }
            log.error("Failed to open application at {}: No error", path);
            completion(OpenResult::failure(url, Error::invalidResult()));
        });
}

OpenApplicationsAction::OpenApplicationsAction(
    FileSourceConfigurationPtr fileSource, std::vector<InstallableApplication> foundApplications, log::Logger log)
    : fileSource(std::move(fileSource))
    , foundApplications(std::move(foundApplications))
    , log(std::move(log))
{
}

void OpenApplicationsAction::perform(Input urls, actions::Completion<Input, Output> completion) const
{
    using Performer = UserInputRequestPerformer;
    std::weak_ptr<const OpenApplicationsAction> weakSelf = weak_from_this();

    auto decisionHandler = [weakSelf, fileSource = fileSource, foundCount = foundApplications.size()](
                               const URL& url, const Input&, std::function<void(Result<ContinueDecision>)> decide) {
        switch (fileSource->applicationCopiedAction().currentValue()) {
        case options::ApplicationCopiedActionOption::openApp:
            decide(ContinueDecision::continue_);
            return;
        case options::ApplicationCopiedActionOption::askWhenMultipleCopied:
            // Counts what was found: one copy of two found applications is still asked about.
            if (foundCount < 2) {
                decide(ContinueDecision::continue_);
                return;
            }
            break;
        case options::ApplicationCopiedActionOption::alwaysAsk:
            break;
        }
        Performer::shared()->requestUserInput(questions::copiedApplicationTitle(), questions::chooseHowToHandleBody(url),
            Performer::Category::applicationCopied, [weakSelf, decide = std::move(decide)](Result<UserResponse> response) {
                auto self = weakSelf.lock();
                if (!self) {
                    // Nobody waits for the opening any more: open nothing.
                    decide(ContinueDecision::ignore);
                    return;
                }
                if (!response) {
                    self->log.error("Failed to ask user how to handle copied application: {}", response.error()->description());
                    decide(response.error());
                    return;
                }
                if (!response->isDismissed() && response->identifier() == Performer::openApplicationAction) {
                    decide(ContinueDecision::continue_);
                    return;
                }
                if (!response->isDismissed() && response->identifier() != Performer::ignoreFileAction)
                    self->log.error("Unknown identifier: {}", response->identifier());
                decide(ContinueDecision::ignore);
            });
    };

    OpenApplicationAction open(Workspace::shared(), actions::actionsLog("Open Application"));
    actions::PassthroughAction<Input>().mapEach(std::move(open), std::move(decisionHandler)).perform(std::move(urls), std::move(completion));
}

} // namespace tavik
