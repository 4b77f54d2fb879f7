#include "Tavik/intro/IntroStepProvider.hpp"

#include "Tavik/configuration/ApplicationsFolder.hpp"
#include "platform/strings/LocalizedString.hpp"

#include <glib.h>

#include <cstdlib>
#include <filesystem>

namespace tavik {

namespace fs = std::filesystem;

namespace {

bool isFolder(const URL& url)
{
    std::error_code error;
    return fs::is_directory(url.path(), error);
}

std::string withPath(std::string text, const std::string& path)
{
    if (auto placeholder = text.find("%@"); placeholder != std::string::npos)
        text.replace(placeholder, 2, path);
    return text;
}

// Reports InitialSetup's outcome to a directory choice's completion.
template <class T>
void reportOutcome(const Result<T>& result, const std::function<void(ErrorPtr)>& completion)
{
    completion(result ? nullptr : result.error());
}

} // namespace

IntroState::Defaults IntroState::standardDefaults()
{
    Defaults defaults;
    auto local = applicationsDirectories(SearchPathDomain::local);
    auto user = applicationsDirectories(SearchPathDomain::user);
    if (!local.empty() && isFolder(local.front()))
        defaults.applicationsFolder = local.front();
    else if (!user.empty())
        defaults.applicationsFolder = user.front();
    if (const char* downloads = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD))
        defaults.downloadsFolder = URL::fileURL(downloads, true);
    else if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        defaults.downloadsFolder = URL::fileURL(fs::path(home) / "Downloads", true);
    return defaults;
}

IntroState::IntroState(std::shared_ptr<InitialSetup> setup, std::shared_ptr<FileSourceConfigurationsManager> configurationsManager,
    Defaults defaults)
    : setup_(std::move(setup))
    , configurationsManager_(std::move(configurationsManager))
    , defaults_(std::move(defaults))
{
}

IntroStepPtr IntroState::welcome() const
{
    return std::make_shared<IntroStep>(IntroStep::Kind::welcome, strings::localizedString("intro_welcome_title"),
        strings::localizedString("intro_welcome_caption"));
}

IntroStepPtr IntroState::destination() const
{
    auto caption = strings::localizedString("intro_destination_caption");
    if (defaults_.applicationsFolder && isFolder(*defaults_.applicationsFolder))
        caption += " " + withPath(strings::localizedString("intro_destination_caption_addendum"), defaults_.applicationsFolder->path().string());

    auto setup = setup_;
    IntroStep::DirectoryChoice choice {"Choose", "Choose a folder to move found applications to.", defaults_.applicationsFolder,
        [setup](const URL& folder, std::function<void(ErrorPtr)> completion) { reportOutcome(setup->destinationChosen(folder), completion); }};
    auto chosen = setup_->introApplicationDestination().valuePublisher().map([](const std::optional<UUID>& uuid) { return uuid.has_value(); });
    return std::make_shared<IntroStep>(IntroStep::Kind::destination, strings::localizedString("intro_destination_title"), caption,
        chosen, std::move(choice));
}

IntroStepPtr IntroState::watch() const
{
    auto setup = setup_;
    IntroStep::DirectoryChoice choice {"Choose", "Choose a folder to watch for downloaded applications.", defaults_.downloadsFolder,
        [setup](const URL& folder, std::function<void(ErrorPtr)> completion) { reportOutcome(setup->watchFolderChosen(folder), completion); }};
    auto watching = configurationsManager_->fileSourceConfigurationsPublisher().map(
        [](const FileSourceConfigurationsManager::Configurations& configurations) {
            for (const auto& configuration : configurations) {
                if (configuration->fileSource() == FileSource::directory)
                    return true;
            }
            return false;
        });
    return std::make_shared<IntroStep>(IntroStep::Kind::watch, "Setup Watch Directory",
        "Tavik works best when it's watching a folder for new files. Choose a folder and Tavik will watch for new files.\n\n"
        "You can add more folders once the setup is complete.",
        watching, std::move(choice));
}

IntroStepPtr IntroState::complete() const
{
    return std::make_shared<IntroStep>(IntroStep::Kind::complete, "Setup Complete",
        "Tavik will now search your chosen folder and begin watching for new files.\n\n"
        "You can also drop files on the app or status bar icon.");
}

IntroStepPtr IntroState::skipped() const
{
    return std::make_shared<IntroStep>(IntroStep::Kind::skipped, "Setup Skipped",
        "The setup has been skipped. You will need to provide a destination folder for Tavik to function.\n\n"
        "You can run this setup again from the Help menu.");
}

IntroStepPtr IntroState::notWatching() const
{
    return std::make_shared<IntroStep>(IntroStep::Kind::notWatching, "Setup Complete",
        "Tavik has been setup, but is not watching any folders. You can add more folders from the File menu.\n\n"
        "You can also drop files on the app or status bar icon.");
}

IntroStepProvider::IntroStepProvider(IntroState state)
    : state_(std::move(state))
    , currentStep_(state_.welcome())
{
}

IntroStepProvider::PrimaryButton IntroStepProvider::primaryButton() const
{
    if (!hasNextStep())
        return PrimaryButton::done;
    return currentStep()->isComplete() ? PrimaryButton::next : PrimaryButton::skip;
}

void IntroStepProvider::goToNextStep()
{
    auto current = currentStep();
    IntroStepPtr next;
    bool nextHasNext = false;
    switch (current->kind()) {
    case IntroStep::Kind::welcome:
        next = state_.destination();
        nextHasNext = true;
        break;
    case IntroStep::Kind::destination:
        next = current->isComplete() ? state_.watch() : state_.skipped();
        nextHasNext = current->isComplete();
        break;
    case IntroStep::Kind::watch:
        next = current->isComplete() ? state_.complete() : state_.notWatching();
        break;
    default:
        return; // the summaries are the end
    }
    previousSteps_.push_back(current);
    hasNextStep_.send(nextHasNext);
    currentStep_.send(next);
}

void IntroStepProvider::goBack()
{
    if (previousSteps_.empty())
        return;
    auto previous = previousSteps_.back();
    previousSteps_.pop_back();
    hasNextStep_.send(true);
    currentStep_.send(previous);
}

} // namespace tavik
