#include "Tavik/configuration/ApplicationsDestination.hpp"

#include "platform/foundation/Bookmark.hpp"

namespace tavik {

using persistence::Data;
using persistence::Persister;

ApplicationsDestination::ApplicationsDestination(StoragePtr storage, UUID uuid, Persister<Data> destinationBookmark)
    : storage_(std::move(storage))
    , uuid_(uuid)
    , destinationBookmark_(std::move(destinationBookmark))
{
}

std::shared_ptr<ApplicationsDestination> ApplicationsDestination::fromStorage(const StoragePtr& storage)
{
    auto bookmark = storage->persister<Data>(destinationBookmarkKey);
    if (!bookmark)
        return nullptr;
    auto uuidString = storage->requiredValue<std::string>(uuidKey);
    if (!uuidString)
        return nullptr;
    auto uuid = UUID::fromString(*uuidString);
    if (!uuid)
        return nullptr;
    return std::shared_ptr<ApplicationsDestination>(new ApplicationsDestination(storage, *uuid, std::move(*bookmark)));
}

Result<URL> ApplicationsDestination::url() const
{
    auto resolved = TAVIK_TRY(resolveBookmarkData(destinationBookmark_.currentValue(), BookmarkResolutionOptions::withSecurityScope));
    if (resolved.isStale) {
        // Keep a bookmark of where the folder is now; should that fail, the
        // old one still finds it next time.
        if (auto fresh = bookmarkData(resolved.url, BookmarkCreationOptions::withSecurityScope)) {
            destinationBookmark_.setDefaultValue(*fresh);
            (void)destinationBookmark_.store(*fresh);
        }
    }
    return resolved.url;
}

ErrorPtr ApplicationsDestinationManager::Error::incompleteDestination()
{
    return std::make_shared<const Error>();
}

std::string ApplicationsDestinationManager::Error::description() const
{
    return "The destination record has no readable bookmark or identifier.";
}

const std::shared_ptr<ApplicationsDestinationManager>& ApplicationsDestinationManager::shared()
{
    static const auto manager = std::make_shared<ApplicationsDestinationManager>(defaults::UserDefaults::standard());
    return manager;
}

ApplicationsDestinationManager::ApplicationsDestinationManager(std::shared_ptr<defaults::UserDefaults> userDefaults)
    : storage_(std::make_shared<MappedStorage>(
        std::move(userDefaults),
        [](const MappedStorage::StoragePtr& storage) -> Result<ApplicationsDestinationPtr> {
            if (auto destination = ApplicationsDestination::fromStorage(storage))
                return destination;
            return Error::incompleteDestination();
        },
        ApplicationsDestination::uuidKey))
    , persister_(destinationsKey, storage_, std::vector<ApplicationsDestinationPtr> {})
{
}

std::vector<ApplicationsDestinationPtr> ApplicationsDestinationManager::destinations() const
{
    return persister_.currentValue();
}

Result<void> ApplicationsDestinationManager::setDestinations(const std::vector<ApplicationsDestinationPtr>& destinations)
{
    return persister_.store(destinations);
}

ApplicationsDestinationPtr ApplicationsDestinationManager::destination(const UUID& uuid) const
{
    for (auto& destination : destinations()) {
        if (destination->uuid() == uuid)
            return destination;
    }
    return nullptr;
}

Result<ApplicationsDestinationPtr> ApplicationsDestinationManager::destination(const URL& folder)
{
    auto wanted = folder.resolvingSymlinksInPath().path();
    for (auto& destination : destinations()) {
        auto url = destination->url();
        if (url && url->resolvingSymlinksInPath().path() == wanted)
            return destination;
    }

    // The record is added only if none names the folder yet, checked in the
    // same step as the write: one folder never gets two destinations, and no
    // lock is held while the write calls observers.
    auto bookmark = TAVIK_TRY(bookmarkData(folder, BookmarkCreationOptions::withSecurityScope));
    UUID uuid;
    auto added = storage_->userDefaultsStorage()->update(destinationsKey,
        [&](const std::optional<persistence::UserDefaultsValue>& stored)
            -> Result<std::optional<persistence::UserDefaultsValue>> {
            auto records = TAVIK_TRY(persistence::arrayOfDictionaries(stored));
            for (const auto& record : records) {
                auto found = record.find(ApplicationsDestination::destinationBookmarkKey);
                auto data = found != record.end() ? found->second.asData() : nullptr;
                auto id = persistence::recordIdentifier(record, ApplicationsDestination::uuidKey);
                auto recordUUID = id ? UUID::fromString(*id) : std::nullopt;
                if (!data || !recordUUID)
                    continue;
                auto resolved = resolveBookmarkData(*data, BookmarkResolutionOptions::withSecurityScope);
                if (resolved && resolved->url.resolvingSymlinksInPath().path() == wanted) {
                    uuid = *recordUUID;
                    return stored;
                }
            }
            records.push_back(persistence::UserDefaultsValue::Dictionary {
                {ApplicationsDestination::destinationBookmarkKey, persistence::UserDefaultsValue(bookmark)},
                {ApplicationsDestination::uuidKey, persistence::UserDefaultsValue(uuid.uuidString())},
            });
            return std::optional<persistence::UserDefaultsValue>(
                persistence::UserDefaultsValue(persistence::UserDefaultsValue::Array(records.begin(), records.end())));
        });
    if (!added)
        return added.error();
    if (auto destination = this->destination(uuid))
        return destination;
    return Error::incompleteDestination();
}

} // namespace tavik
