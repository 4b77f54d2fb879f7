#pragma once

#include "persistence/Persister.hpp"
#include "persistence/UserDefaultsArrayDictionaryStorage.hpp"
#include "persistence/UserDefaultsMappedArrayStorage.hpp"
#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"
#include "platform/foundation/UUID.hpp"

#include <memory>
#include <string>
#include <vector>

namespace tavik {

// A folder that found applications are copied into, kept as one record of
// the "ApplicationDestinations" array: {"DestinationBookmark": data, "UUID": string}.
// Several file sources can share one; a configuration refers to it by UUID.
class ApplicationsDestination {
public:
    using StoragePtr = std::shared_ptr<persistence::UserDefaultsArrayDictionaryStorage>;

    static constexpr const char* destinationBookmarkKey = "DestinationBookmark";
    static constexpr const char* uuidKey = "UUID";

    // The destination kept in the storage's record; nothing when the record
    // lacks a bookmark (as data) or a valid UUID string.
    static std::shared_ptr<ApplicationsDestination> fromStorage(const StoragePtr& storage);

    const StoragePtr& storage() const { return storage_; }
    const UUID& uuid() const { return uuid_; }
    // The identifier in the mapped storage: the UUID's string.
    std::string id() const { return uuid_.uuidString(); }
    const persistence::Persister<persistence::Data>& destinationBookmark() const { return destinationBookmark_; }

    // Resolves the bookmark; a stale bookmark is replaced by a new one of the
    // folder where it was found. Resolution errors are returned.
    Result<URL> url() const;

    bool operator==(const ApplicationsDestination& other) const { return uuid_ == other.uuid_; }

private:
    ApplicationsDestination(StoragePtr storage, UUID uuid, persistence::Persister<persistence::Data> destinationBookmark);

    StoragePtr storage_;
    UUID uuid_;
    persistence::Persister<persistence::Data> destinationBookmark_;
};

using ApplicationsDestinationPtr = std::shared_ptr<ApplicationsDestination>;

// Owns the list of destinations under "ApplicationDestinations" and finds or
// creates the destination for a folder. Operations run on the caller's
// thread; callers serialise changes to the list.
class ApplicationsDestinationManager {
public:
    static constexpr const char* destinationsKey = "ApplicationDestinations";

    // ApplicationsDestinationManager.Error
    class Error final : public tavik::Error {
    public:
        enum class Case { incompleteDestination = 0 };
        static ErrorPtr incompleteDestination();
        Case errorCase() const { return Case::incompleteDestination; }
        std::string description() const override;
        std::string domain() const override { return "ApplicationsDestinationManager.Error"; }
        int code() const override { return 0; }
    };

    // The one the application uses, over the standard user defaults, made
    // on first use.
    static const std::shared_ptr<ApplicationsDestinationManager>& shared();

    explicit ApplicationsDestinationManager(std::shared_ptr<defaults::UserDefaults> userDefaults);

    // The readable destinations, in stored order (records without a bookmark
    // or UUID are left out).
    std::vector<ApplicationsDestinationPtr> destinations() const;
    // Stores the list: left-out destinations lose their records.
    Result<void> setDestinations(const std::vector<ApplicationsDestinationPtr>& destinations);
    const persistence::Persister<std::vector<ApplicationsDestinationPtr>>& destinationsPersister() const { return persister_; }

    // The destination with this UUID, if there is one.
    ApplicationsDestinationPtr destination(const UUID& uuid) const;

    // The destination of the folder, found among the existing ones by
    // comparing resolved folders (symbolic links resolved too), or made anew
    // with a bookmark of the folder and a new UUID.
    Result<ApplicationsDestinationPtr> destination(const URL& folder);

private:
    using MappedStorage = persistence::UserDefaultsMappedArrayStorage<ApplicationsDestination>;

    std::shared_ptr<MappedStorage> storage_;
    persistence::Persister<std::vector<ApplicationsDestinationPtr>> persister_;
};

} // namespace tavik
