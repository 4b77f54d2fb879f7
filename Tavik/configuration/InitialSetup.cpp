#include "Tavik/configuration/InitialSetup.hpp"

#include "Tavik/configuration/AppPreferences.hpp"

#include <filesystem>

namespace tavik {

namespace {

bool isExistingFolder(const URL& url)
{
    std::error_code error;
    return std::filesystem::is_directory(url.path(), error);
}

persistence::Persister<std::optional<UUID>> makeIntroApplicationDestination(std::shared_ptr<defaults::UserDefaults> userDefaults)
{
    return persistence::Persister<std::optional<UUID>>(InitialSetup::introApplicationDestinationKey, std::move(userDefaults),
        std::make_shared<UUIDTransformer>(), std::optional<UUID>());
}

} // namespace

ErrorPtr InitialSetup::Error::notAFolder(const URL& url)
{
    return std::make_shared<const Error>(url.path().string());
}

std::string InitialSetup::Error::description() const
{
    return path_ + " is not a folder";
}

std::optional<std::string> InitialSetup::Error::failureReason() const
{
    return "Choose an existing folder.";
}

InitialSetup::InitialSetup()
    : configurationsManager_(FileSourceConfigurationsManager::shared())
    , destinationManager_(ApplicationsDestinationManager::shared())
    , introApplicationDestination_(makeIntroApplicationDestination(defaults::UserDefaults::standard()))
    , hasRunInitialSetup_(AppPreferences::hasRunInitialSetup())
{
}

InitialSetup::InitialSetup(std::shared_ptr<defaults::UserDefaults> userDefaults,
    std::shared_ptr<FileSourceConfigurationsManager> configurationsManager,
    std::shared_ptr<ApplicationsDestinationManager> destinationManager)
    : configurationsManager_(std::move(configurationsManager))
    , destinationManager_(std::move(destinationManager))
    , introApplicationDestination_(makeIntroApplicationDestination(userDefaults))
    , hasRunInitialSetup_("hasRunInitialSetup", userDefaults, false)
{
}

Result<ApplicationsDestinationPtr> InitialSetup::destinationChosen(const URL& folder)
{
    // A dropped file would otherwise become a destination nothing can be copied into.
    if (!isExistingFolder(folder))
        return Error::notAFolder(folder);
    auto destination = TAVIK_TRY(destinationManager_->destination(folder));
    TAVIK_TRY_VOID(introApplicationDestination_.store(destination->uuid()));

    // Every source without a destination gets this one; a failed write is
    // reported after the others were tried.
    ErrorPtr firstError;
    for (auto& configuration : configurationsManager_->fileSourceConfigurations()) {
        if (configuration->destinationBookmarkUUID().currentValue())
            continue;
        auto stored = configuration->destinationBookmarkUUID().store(destination->uuid());
        if (!stored && !firstError)
            firstError = stored.error();
    }
    if (firstError)
        return firstError;
    return destination;
}

Result<FileSourceConfigurationPtr> InitialSetup::watchFolderChosen(const URL& folder)
{
    if (!isExistingFolder(folder))
        return Error::notAFolder(folder);
    auto destinationUUID = introApplicationDestination_.currentValue();
    auto wanted = folder.resolvingSymlinksInPath().path();
    for (auto& configuration : configurationsManager_->fileSourceConfigurations()) {
        if (configuration->fileSource() != FileSource::directory)
            continue;
        auto watched = configuration->watchDirectoryURL();
        if (!watched || watched->resolvingSymlinksInPath().path() != wanted)
            continue;
        if (destinationUUID)
            TAVIK_TRY_VOID(configuration->destinationBookmarkUUID().store(destinationUUID));
        return configuration;
    }
    return configurationsManager_->addFolder(folder, destinationUUID);
}

Result<void> InitialSetup::finish()
{
    TAVIK_TRY_VOID(hasRunInitialSetup_.store(true));
    return introApplicationDestination_.remove();
}

} // namespace tavik
