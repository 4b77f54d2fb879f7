#pragma once

#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/FileSourceConfiguration.hpp"
#include "persistence/Persister.hpp"
#include "persistence/UserDefaultsMappedArrayStorage.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/publisher/Publisher.hpp"

#include <functional>
#include <memory>
#include <vector>

namespace tavik {

// Owns the list of file source configurations under
// "FileSourceConfigurations": creates the two icon configurations on first
// start, adds and removes folders, and keeps the published list in step with
// the stored one (keeping the same objects for the same records).
class FileSourceConfigurationsManager : public std::enable_shared_from_this<FileSourceConfigurationsManager> {
public:
    using Configurations = std::vector<FileSourceConfigurationPtr>;
    static constexpr const char* configurationsKey = "FileSourceConfigurations";

    // The one the application uses, over the standard user defaults, made on first use.
    static const std::shared_ptr<FileSourceConfigurationsManager>& shared();
    static std::shared_ptr<FileSourceConfigurationsManager> make(std::shared_ptr<defaults::UserDefaults> userDefaults);

    ~FileSourceConfigurationsManager();

    // Published: the current configurations, in stored order.
    Configurations fileSourceConfigurations() const { return fileSourceConfigurations_.value(); }
    publisher::Publisher<Configurations> fileSourceConfigurationsPublisher() const
    {
        return fileSourceConfigurations_.publisher();
    }
    const persistence::Persister<Configurations>& persister() const { return persister_; }

    // Adds a watched folder with the default options; fails with the error of
    // bookmarking the folder (nothing is written then) or of storing it.
    Result<FileSourceConfigurationPtr> addFolder(const URL& folder, const std::optional<UUID>& destinationUUID);

    // Removes the configurations the predicate picks.
    Result<void> removeConfigurations(const std::function<bool(const FileSourceConfiguration&)>& predicate);

    // Recomputes every configuration's errors against the destinations.
    void updateConfigurationErrors(const ApplicationsDestinationManager& destinationManager);

private:
    using MappedStorage = persistence::UserDefaultsMappedArrayStorage<FileSourceConfiguration>;
    using Update = persistence::Persister<Configurations>::Update;

    explicit FileSourceConfigurationsManager(std::shared_ptr<defaults::UserDefaults> userDefaults);
    void start();
    void persisterDidUpdate(const Result<Update>& update);
    Result<FileSourceConfigurationPtr> appendConfiguration(const std::string& id,
        const std::optional<persistence::Data>& bookmark, const std::string& displayName,
        const std::optional<UUID>& destinationUUID);

    std::shared_ptr<MappedStorage> storage_;
    persistence::Persister<Configurations> persister_;
    publisher::CurrentValueSubject<Configurations> fileSourceConfigurations_ {Configurations {}};
    publisher::AnyCancellable persisterUpdateListener_;
};

} // namespace tavik
