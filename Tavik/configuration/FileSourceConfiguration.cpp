#include "Tavik/configuration/FileSourceConfiguration.hpp"

#include "persistence/Transformers.hpp"
#include "platform/foundation/Bookmark.hpp"

#include <fmt/format.h>

namespace tavik {

using persistence::Data;
using persistence::RawRepresentableTransformer;
using namespace options;

Result<UUID> UUIDTransformer::untransform(const std::string& output) const
{
    auto uuid = UUID::fromString(output);
    if (!uuid)
        return ErrorPtr(std::make_shared<const UntransformError>(output));
    return *uuid;
}

const char* FileSourceConfiguration::statusImageName(Status status)
{
    switch (status) {
    case Status::available:
        return "NSStatusAvailable";
    case Status::partiallyAvailable:
        return "NSStatusPartiallyAvailable";
    case Status::unavailable:
        return "NSStatusUnavailable";
    case Status::notDetermined:
        return "NSStatusNone";
    }
    return "NSStatusNone";
}

namespace {

template <class Option>
std::shared_ptr<RawRepresentableTransformer<Option>> rawValueTransformer()
{
    static const auto transformer = std::make_shared<RawRepresentableTransformer<Option>>();
    return transformer;
}

std::shared_ptr<UUIDTransformer> uuidTransformer()
{
    static const auto transformer = std::make_shared<UUIDTransformer>();
    return transformer;
}

FileSource fileSourceOfIdentifier(const std::string& id)
{
    if (id == FileSourceConfiguration::SpecialIdentifier::appIcon)
        return FileSource::appIcon;
    if (id == FileSourceConfiguration::SpecialIdentifier::statusBarIcon)
        return FileSource::statusBarIcon;
    return FileSource::directory;
}

const char* fileSourceName(FileSource source)
{
    switch (source) {
    case FileSource::appIcon:
        return "appIcon";
    case FileSource::statusBarIcon:
        return "statusBarIcon";
    case FileSource::directory:
        return "directory";
    }
    return "directory";
}

} // namespace

FileSourceConfiguration::FileSourceConfiguration(std::string id, StoragePtr storage,
    Persister<std::optional<Data>> watchDirectoryBookmarkData, Persister<std::string> displayName,
    Persister<FileFoundActionOption> fileFoundAction, Persister<ApplicationFoundActionOption> applicationFoundAction,
    Persister<ApplicationCopiedActionOption> applicationCopiedAction,
    Persister<AllApplicationsHandledAction> allApplicationsHandled, Persister<std::optional<UUID>> destinationBookmarkUUID)
    : id_(std::move(id))
    , fileSource_(fileSourceOfIdentifier(id_))
    , displayName_(std::move(displayName))
    , fileFoundAction_(std::move(fileFoundAction))
    , applicationFoundAction_(std::move(applicationFoundAction))
    , applicationCopiedAction_(std::move(applicationCopiedAction))
    , allApplicationsHandled_(std::move(allApplicationsHandled))
    , destinationBookmarkUUID_(std::move(destinationBookmarkUUID))
    , watchDirectoryBookmarkData_(std::move(watchDirectoryBookmarkData))
    , storage_(std::move(storage))
{
}

FileSourceConfiguration::~FileSourceConfiguration() = default;

Result<std::shared_ptr<FileSourceConfiguration>> FileSourceConfiguration::fromStorage(const StoragePtr& storage)
{
    auto id = TAVIK_TRY(storage->requiredValue<std::string>(idKey));
    auto watchDirectoryBookmarkData = TAVIK_TRY(storage->optionalPersister<Data>(watchDirectoryBookmarkDataKey));
    auto displayName = TAVIK_TRY(storage->persister<std::string>(displayNameKey));
    auto fileFoundAction = TAVIK_TRY((storage->persister(
        fileFoundActionKey, rawValueTransformer<FileFoundActionOption>())));
    auto applicationFoundAction = TAVIK_TRY((storage->persister(
        applicationFoundActionKey, rawValueTransformer<ApplicationFoundActionOption>())));
    auto applicationCopiedAction = TAVIK_TRY((storage->persister(
        applicationCopiedActionKey, rawValueTransformer<ApplicationCopiedActionOption>())));
    auto allApplicationsHandled = TAVIK_TRY((storage->persister(
        allApplicationsHandledActionKey, rawValueTransformer<AllApplicationsHandledAction>())));
    auto destinationBookmarkUUID = TAVIK_TRY((storage->optionalPersister(
        destinationBookmarkUUIDKey, uuidTransformer())));

    std::shared_ptr<FileSourceConfiguration> configuration(new FileSourceConfiguration(std::move(id), storage,
        std::move(watchDirectoryBookmarkData), std::move(displayName), std::move(fileFoundAction),
        std::move(applicationFoundAction), std::move(applicationCopiedAction), std::move(allApplicationsHandled),
        std::move(destinationBookmarkUUID)));
    configuration->startStatusComputation();
    return configuration;
}

Result<std::shared_ptr<FileSourceConfiguration>> FileSourceConfiguration::create(const std::string& id,
    const std::optional<Data>& watchDirectoryBookmarkData, const std::string& displayName,
    FileFoundActionOption fileFoundAction, ApplicationFoundActionOption applicationFoundAction,
    ApplicationCopiedActionOption applicationCopiedAction, AllApplicationsHandledAction allApplicationsHandled,
    const std::optional<UUID>& destinationBookmarkUUID, const StoragePtr& storage)
{
    TAVIK_TRY_VOID(storage->store(id, idKey));
    if (watchDirectoryBookmarkData)
        TAVIK_TRY_VOID(storage->store(*watchDirectoryBookmarkData, watchDirectoryBookmarkDataKey));
    TAVIK_TRY_VOID(storage->store(displayName, displayNameKey));
    TAVIK_TRY_VOID(storage->store(fileFoundAction.rawValue(), fileFoundActionKey));
    TAVIK_TRY_VOID(storage->store(applicationCopiedAction.rawValue(), applicationCopiedActionKey));
    TAVIK_TRY_VOID(storage->store(applicationFoundAction.rawValue(), applicationFoundActionKey));
    TAVIK_TRY_VOID(storage->store(allApplicationsHandled.rawValue(), allApplicationsHandledActionKey));
    if (destinationBookmarkUUID)
        TAVIK_TRY_VOID(storage->store(destinationBookmarkUUID->uuidString(), destinationBookmarkUUIDKey));
    return fromStorage(storage);
}

FileSourceConfiguration::Status computeStatus(FileFoundActionOption fileFoundAction,
    const FileSourceConfiguration::ConfigurationErrors& errors)
{
    using Status = FileSourceConfiguration::Status;
    if (fileFoundAction == FileFoundActionOption::ignore)
        return Status::partiallyAvailable;
    if (!errors)
        return Status::notDetermined;
    if (!errors->empty())
        return Status::unavailable;
    return Status::available;
}

void FileSourceConfiguration::startStatusComputation()
{
    // The subject is a shared handle; the subscription does not keep the
    // configuration alive.
    auto status = status_;
    statusCancellable_ = publisher::combineLatest(configurationErrors_.publisher(), fileFoundAction_.valuePublisher())
                             .sink([status](const std::pair<ConfigurationErrors, FileFoundActionOption>& latest) {
                                 status.send(computeStatus(latest.second, latest.first));
                             });
}

std::optional<URL> FileSourceConfiguration::watchDirectoryURL() const
{
    auto bookmark = watchDirectoryBookmarkData_.currentValue();
    if (!bookmark)
        return std::nullopt;
    auto resolved = resolveBookmarkData(*bookmark, BookmarkResolutionOptions::withSecurityScope);
    if (!resolved)
        return std::nullopt;
    if (resolved->isStale) {
        if (auto fresh = bookmarkData(resolved->url, BookmarkCreationOptions::withSecurityScope))
            (void)watchDirectoryBookmarkData_.store(std::optional<Data>(*fresh));
    }
    return resolved->url;
}

void FileSourceConfiguration::updateConfigurationErrors(const ApplicationsDestinationManager& destinationManager)
{
    std::vector<ConfigurationError> errors;
    std::optional<Result<URL>> destinationURL;
    if (auto uuid = destinationBookmarkUUID_.currentValue()) {
        if (auto destination = destinationManager.destination(*uuid))
            destinationURL = destination->url();
    }
    if (destinationURL && !destinationURL->ok()) {
        const auto& error = destinationURL->error();
        errors.emplace_back(ConfigurationOption::destinationDirectory, "Destination is invalid",
            error->failureReason().value_or(error->description()));
    } else if (!destinationURL) {
        errors.emplace_back(ConfigurationOption::destinationDirectory, "No destination selected", std::nullopt);
    }
    configurationErrors_.send(std::move(errors));
}

std::string FileSourceConfiguration::description() const
{
    auto uuid = destinationBookmarkUUID_.currentValue();
    auto bookmark = watchDirectoryBookmarkData_.currentValue();
    return fmt::format("<FileSourceConfiguration id={}; fileSource={}; displayName={}; destinationBookmarkUUID={}; "
                       "watchDirectoryBookmarkData={}>",
        id_, fileSourceName(fileSource_), displayName_.currentValue(),
        uuid ? fmt::format("Optional({})", uuid->uuidString()) : "nil",
        bookmark ? fmt::format("Optional({} bytes)", bookmark->size()) : "nil");
}

bool FileSourceConfiguration::operator==(const FileSourceConfiguration& other) const
{
    return id_ == other.id_ && fileSource_ == other.fileSource_
        && displayName_.currentValue() == other.displayName_.currentValue()
        && destinationBookmarkUUID_.currentValue() == other.destinationBookmarkUUID_.currentValue()
        && watchDirectoryBookmarkData_.currentValue() == other.watchDirectoryBookmarkData_.currentValue();
}

size_t FileSourceConfiguration::hash() const
{
    size_t value = std::hash<std::string>()(id_);
    auto combine = [&value](size_t next) { value ^= next + 0x9e3779b97f4a7c15ULL + (value << 6) + (value >> 2); };
    combine(static_cast<size_t>(fileSource_));
    combine(std::hash<std::string>()(displayName_.currentValue()));
    if (auto uuid = destinationBookmarkUUID_.currentValue())
        combine(std::hash<UUID>()(*uuid));
    if (auto bookmark = watchDirectoryBookmarkData_.currentValue())
        combine(std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(bookmark->data()), bookmark->size())));
    return value;
}

} // namespace tavik
