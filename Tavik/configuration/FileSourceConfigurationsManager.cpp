#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"

#include "platform/foundation/Bookmark.hpp"
#include "platform/log/Logger.hpp"

#include <map>

namespace tavik {

using persistence::Data;

namespace {

const log::Logger& logger()
{
    static const log::Logger logger("app.tavik.Tavik", "FileSourceConfigurationsManager");
    return logger;
}

} // namespace

const std::shared_ptr<FileSourceConfigurationsManager>& FileSourceConfigurationsManager::shared()
{
    static const auto manager = make(defaults::UserDefaults::standard());
    return manager;
}

std::shared_ptr<FileSourceConfigurationsManager> FileSourceConfigurationsManager::make(
    std::shared_ptr<defaults::UserDefaults> userDefaults)
{
    std::shared_ptr<FileSourceConfigurationsManager> manager(new FileSourceConfigurationsManager(std::move(userDefaults)));
    manager->start();
    return manager;
}

FileSourceConfigurationsManager::FileSourceConfigurationsManager(std::shared_ptr<defaults::UserDefaults> userDefaults)
    : storage_(std::make_shared<MappedStorage>(std::move(userDefaults), &FileSourceConfiguration::fromStorage))
    , persister_(configurationsKey, storage_, Configurations {})
{
}

FileSourceConfigurationsManager::~FileSourceConfigurationsManager() = default;

void FileSourceConfigurationsManager::start()
{
    fileSourceConfigurations_.send(persister_.currentValue());

    std::weak_ptr<FileSourceConfigurationsManager> weakSelf = weak_from_this();
    persisterUpdateListener_ = persister_.observe([weakSelf](const Result<Update>& update) {
        if (auto self = weakSelf.lock())
            self->persisterDidUpdate(update);
    });

    if (!fileSourceConfigurations().empty())
        return;
    auto appIcon = appendConfiguration(FileSourceConfiguration::SpecialIdentifier::appIcon, std::nullopt, "App Icon", std::nullopt);
    if (!appIcon)
        logger().error("Error creating app icon configuration: {}", appIcon.error()->description());
    auto statusBarIcon = appendConfiguration(FileSourceConfiguration::SpecialIdentifier::statusBarIcon, std::nullopt,
        "Status Bar Icon", std::nullopt);
    if (!statusBarIcon)
        logger().error("Error creating status bar icon configuration: {}", statusBarIcon.error()->description());
}

void FileSourceConfigurationsManager::persisterDidUpdate(const Result<Update>& update)
{
    if (!update) {
        logger().error("Persister error: {}", update.error()->description());
        return;
    }
    // Sent without a lock of ours held: receivers may change the settings.
    fileSourceConfigurations_.modify([&](const Configurations& current) -> std::optional<Configurations> {
        std::map<std::string, FileSourceConfigurationPtr> byID;
        for (const auto& configuration : current)
            byID.emplace(configuration->id(), configuration);
        Configurations next;
        next.reserve(update->newValue.size());
        for (const auto& configuration : update->newValue) {
            auto existing = byID.find(configuration->id());
            next.push_back(existing != byID.end() ? existing->second : configuration);
        }
        return next;
    });
}

Result<FileSourceConfigurationPtr> FileSourceConfigurationsManager::appendConfiguration(const std::string& id,
    const std::optional<Data>& bookmark, const std::string& displayName, const std::optional<UUID>& destinationUUID)
{
    auto created = storage_->appendNewValue(configurationsKey, id, [&](const MappedStorage::StoragePtr& storage) {
        return FileSourceConfiguration::create(id, bookmark, displayName, options::defaultFileFoundAction,
            options::defaultApplicationFoundAction, options::defaultApplicationCopiedAction,
            options::defaultAllApplicationsHandledAction, destinationUUID, storage);
    });
    if (!created)
        return created;
    // The record's writes already published a configuration for it, built
    // before the one returned here; the returned one takes its place, so
    // callers and receivers hold the same object.
    fileSourceConfigurations_.modify([&](Configurations current) -> std::optional<Configurations> {
        for (auto& configuration : current) {
            if (configuration->id() == (*created)->id() && configuration != *created) {
                configuration = *created;
                return current;
            }
        }
        return std::nullopt;
    });
    return created;
}

Result<FileSourceConfigurationPtr> FileSourceConfigurationsManager::addFolder(const URL& folder,
    const std::optional<UUID>& destinationUUID)
{
    auto bookmark = TAVIK_TRY(bookmarkData(folder, BookmarkCreationOptions::withSecurityScope));
    return appendConfiguration(UUID().uuidString(), bookmark, folder.path().string(), destinationUUID);
}

Result<void> FileSourceConfigurationsManager::removeConfigurations(
    const std::function<bool(const FileSourceConfiguration&)>& predicate)
{
    Configurations remaining;
    for (auto& configuration : fileSourceConfigurations()) {
        if (!predicate(*configuration))
            remaining.push_back(configuration);
    }
    return persister_.store(remaining);
}

void FileSourceConfigurationsManager::updateConfigurationErrors(const ApplicationsDestinationManager& destinationManager)
{
    for (auto& configuration : fileSourceConfigurations())
        configuration->updateConfigurationErrors(destinationManager);
}

} // namespace tavik
