#pragma once

#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/file-handling/FileSource.hpp"
#include "options/Options.hpp"
#include "persistence/Persister.hpp"
#include "persistence/Transformer.hpp"
#include "persistence/UserDefaultsArrayDictionaryStorage.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/URL.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/publisher/Publisher.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavik {

// UUID to its canonical string and back.
class UUIDTransformer final : public persistence::Transformer<UUID, std::string> {
public:
    // UUIDTransformer.UntransformError
    class UntransformError final : public Error {
    public:
        enum class Case { invalidUUID = 0 };
        explicit UntransformError(std::string string)
            : string_(std::move(string))
        {
        }
        Case errorCase() const { return Case::invalidUUID; }
        const std::string& string() const { return string_; }
        std::string description() const override { return string_ + " is not a valid UUID"; }
        std::string domain() const override { return "UUIDTransformer.UntransformError"; }
        int code() const override { return 0; }

    private:
        std::string string_;
    };

    Result<std::string> transform(const UUID& input) const override { return input.uuidString(); }
    Result<UUID> untransform(const std::string& output) const override;
};

// The configuration of one source of files (a watched folder, the dock icon
// or the menu-bar icon): its four handling choices, its destination and, for
// a folder, the folder's bookmark. Kept as one record of the
// "FileSourceConfigurations" array; every field reads and writes that record.
class FileSourceConfiguration : public std::enable_shared_from_this<FileSourceConfiguration> {
public:
    using StoragePtr = std::shared_ptr<persistence::UserDefaultsArrayDictionaryStorage>;
    template <class T>
    using Persister = persistence::Persister<T>;

    // FileSourceConfiguration.SpecialIdentifier
    struct SpecialIdentifier {
        static constexpr const char* appIcon = "AppIcon";
        static constexpr const char* statusBarIcon = "StatusBarIcon";
    };

    // FileSourceConfiguration.Status, in order.
    enum class Status {
        available,
        partiallyAvailable,
        unavailable,
        notDetermined
    };
    static const char* statusImageName(Status status);

    // FileSourceConfiguration.ConfigurationOption
    enum class ConfigurationOption {
        global,
        destinationDirectory
    };

    // FileSourceConfiguration.ConfigurationError: what keeps a source from working.
    class ConfigurationError final : public Error {
    public:
        ConfigurationError(ConfigurationOption option, std::optional<std::string> errorDescription,
            std::optional<std::string> failureReason)
            : option_(option)
            , errorDescription_(std::move(errorDescription))
            , failureReason_(std::move(failureReason))
        {
        }
        ConfigurationError(const ConfigurationError&) = default;

        ConfigurationOption option() const { return option_; }
        const std::optional<std::string>& errorDescription() const { return errorDescription_; }

        std::string description() const override { return errorDescription_.value_or(""); }
        std::optional<std::string> failureReason() const override { return failureReason_; }
        std::string domain() const override { return "FileSourceConfiguration.ConfigurationError"; }
        int code() const override { return static_cast<int>(option_); }

        bool operator==(const ConfigurationError& other) const
        {
            return option_ == other.option_ && errorDescription_ == other.errorDescription_
                && failureReason_ == other.failureReason_;
        }

    private:
        ConfigurationOption option_;
        std::optional<std::string> errorDescription_;
        std::optional<std::string> failureReason_;
    };
    using ConfigurationErrors = std::optional<std::vector<ConfigurationError>>;

    // Record keys.
    static constexpr const char* idKey = "ID";
    static constexpr const char* displayNameKey = "DisplayName";
    static constexpr const char* fileFoundActionKey = "FileFoundAction";
    static constexpr const char* applicationFoundActionKey = "ApplicationFoundAction";
    static constexpr const char* applicationCopiedActionKey = "ApplicationCopiedAction";
    static constexpr const char* allApplicationsHandledActionKey = "AllApplicationsHandledAction";
    static constexpr const char* destinationBookmarkUUIDKey = "DestinationBookmarkUUID";
    static constexpr const char* watchDirectoryBookmarkDataKey = "WatchDirectoryBookmarkData";

    // Builds the configuration of the storage's record. Fails with the
    // storage's valueMissing or invalidValueType, or with the transformers'
    // errors (an option naming no case); such a record is left out of lists.
    static Result<std::shared_ptr<FileSourceConfiguration>> fromStorage(const StoragePtr& storage);

    // Writes a new record into the storage, key by key, and builds the
    // configuration on it.
    static Result<std::shared_ptr<FileSourceConfiguration>> create(const std::string& id,
        const std::optional<persistence::Data>& watchDirectoryBookmarkData, const std::string& displayName,
        options::FileFoundActionOption fileFoundAction, options::ApplicationFoundActionOption applicationFoundAction,
        options::ApplicationCopiedActionOption applicationCopiedAction,
        options::AllApplicationsHandledAction allApplicationsHandled, const std::optional<UUID>& destinationBookmarkUUID,
        const StoragePtr& storage);

    ~FileSourceConfiguration();
    FileSourceConfiguration(const FileSourceConfiguration&) = delete;
    FileSourceConfiguration& operator=(const FileSourceConfiguration&) = delete;

    const std::string& id() const { return id_; }
    FileSource fileSource() const { return fileSource_; }
    const StoragePtr& storage() const { return storage_; }

    const Persister<std::string>& displayName() const { return displayName_; }
    const Persister<options::FileFoundActionOption>& fileFoundAction() const { return fileFoundAction_; }
    const Persister<options::ApplicationFoundActionOption>& applicationFoundAction() const { return applicationFoundAction_; }
    const Persister<options::ApplicationCopiedActionOption>& applicationCopiedAction() const { return applicationCopiedAction_; }
    const Persister<options::AllApplicationsHandledAction>& allApplicationsHandled() const { return allApplicationsHandled_; }
    const Persister<std::optional<UUID>>& destinationBookmarkUUID() const { return destinationBookmarkUUID_; }
    const Persister<std::optional<persistence::Data>>& watchDirectoryBookmarkData() const { return watchDirectoryBookmarkData_; }

    // Published: no value until first computed.
    ConfigurationErrors configurationErrors() const { return configurationErrors_.value(); }
    publisher::Publisher<ConfigurationErrors> configurationErrorsPublisher() const { return configurationErrors_.publisher(); }
    // Published: starts as notDetermined; follows the errors and the file found action.
    Status status() const { return status_.value(); }
    publisher::Publisher<Status> statusPublisher() const { return status_.publisher(); }

    // The watched folder; nothing for the icons or when the bookmark cannot
    // be resolved. A stale bookmark is replaced by one of where the folder is now.
    std::optional<URL> watchDirectoryURL() const;

    // Recomputes configurationErrors against the destinations.
    void updateConfigurationErrors(const ApplicationsDestinationManager& destinationManager);

    // "<FileSourceConfiguration id=...; fileSource=...; displayName=...;
    // destinationBookmarkUUID=...; watchDirectoryBookmarkData=...>"
    std::string description() const;

    // By id, source, display name, destination and folder bookmark; the
    // options, errors and status take no part.
    bool operator==(const FileSourceConfiguration& other) const;
    size_t hash() const;

private:
    FileSourceConfiguration(std::string id, StoragePtr storage, Persister<std::optional<persistence::Data>> watchDirectoryBookmarkData,
        Persister<std::string> displayName, Persister<options::FileFoundActionOption> fileFoundAction,
        Persister<options::ApplicationFoundActionOption> applicationFoundAction,
        Persister<options::ApplicationCopiedActionOption> applicationCopiedAction,
        Persister<options::AllApplicationsHandledAction> allApplicationsHandled,
        Persister<std::optional<UUID>> destinationBookmarkUUID);
    void startStatusComputation();

    std::string id_;
    FileSource fileSource_;
    Persister<std::string> displayName_;
    Persister<options::FileFoundActionOption> fileFoundAction_;
    Persister<options::ApplicationFoundActionOption> applicationFoundAction_;
    Persister<options::ApplicationCopiedActionOption> applicationCopiedAction_;
    Persister<options::AllApplicationsHandledAction> allApplicationsHandled_;
    Persister<std::optional<UUID>> destinationBookmarkUUID_;
    Persister<std::optional<persistence::Data>> watchDirectoryBookmarkData_;
    StoragePtr storage_;
    publisher::CurrentValueSubject<ConfigurationErrors> configurationErrors_ {std::nullopt};
    publisher::CurrentValueSubject<Status> status_ {Status::notDetermined};
    publisher::AnyCancellable statusCancellable_;
};

using FileSourceConfigurationPtr = std::shared_ptr<FileSourceConfiguration>;

// The status a configuration shows for its file found action and errors.
FileSourceConfiguration::Status computeStatus(options::FileFoundActionOption fileFoundAction,
    const FileSourceConfiguration::ConfigurationErrors& errors);

} // namespace tavik

template <>
struct std::hash<tavik::FileSourceConfiguration> {
    size_t operator()(const tavik::FileSourceConfiguration& configuration) const noexcept { return configuration.hash(); }
};
