#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "platform/foundation/Bookmark.hpp"
#include "platform/log/LogCapture.hpp"

#include <thread>

using namespace tavik;
using namespace tavik::options;
using plist::PropertyList;
using tavik::testing::ConfigurationTest;
using tavik::testing::runSourcesEditor;
using Status = FileSourceConfiguration::Status;
namespace fs = std::filesystem;

namespace {

class FileSourceConfigurationTest : public ConfigurationTest {
protected:
    std::vector<std::string> displayNames(const FileSourceConfigurationsManager& manager)
    {
        std::vector<std::string> names;
        for (auto& configuration : manager.fileSourceConfigurations())
            names.push_back(configuration->displayName().currentValue());
        return names;
    }
};

bool eventually(const std::function<bool()>& condition)
{
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10); std::chrono::steady_clock::now() < deadline;) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

PropertyList::Dictionary iconRecord(const std::string& id, const std::string& fileFoundAction)
{
    return PropertyList::Dictionary {
        {"ID", id},
        {"DisplayName", id},
        {"FileFoundAction", fileFoundAction},
        {"ApplicationFoundAction", "copyToDestination"},
        {"ApplicationCopiedAction", "openApp"},
        {"AllApplicationsHandledAction", "doNothing"},
    };
}

} // namespace

TEST_F(FileSourceConfigurationTest, FirstStartCreatesTheTwoIconConfigurationsWithoutDestination)
{
    auto manager = FileSourceConfigurationsManager::make(userDefaults);
    auto configurations = manager->fileSourceConfigurations();
    ASSERT_EQ(configurations.size(), 2u);
    EXPECT_EQ(configurations[0]->id(), "AppIcon");
    EXPECT_EQ(configurations[0]->fileSource(), FileSource::appIcon);
    EXPECT_EQ(configurations[1]->id(), "StatusBarIcon");
    EXPECT_EQ(configurations[1]->fileSource(), FileSource::statusBarIcon);
    EXPECT_EQ(displayNames(*manager), (std::vector<std::string> {"App Icon", "Status Bar Icon"}));
    for (auto& configuration : configurations) {
        EXPECT_EQ(configuration->fileFoundAction().currentValue(), FileFoundActionOption::searchForApplications);
        EXPECT_EQ(configuration->applicationFoundAction().currentValue(), ApplicationFoundActionOption::askWhenMultipleFound);
        EXPECT_EQ(configuration->applicationCopiedAction().currentValue(), ApplicationCopiedActionOption::askWhenMultipleCopied);
        EXPECT_EQ(configuration->allApplicationsHandled().currentValue(), AllApplicationsHandledAction::moveToTrash);
        EXPECT_FALSE(configuration->destinationBookmarkUUID().currentValue());
        EXPECT_FALSE(configuration->watchDirectoryURL());
        EXPECT_FALSE(configuration->configurationErrors());
        EXPECT_EQ(configuration->status(), Status::notDetermined);
    }

    ApplicationsDestinationManager destinations(userDefaults);
    manager->updateConfigurationErrors(destinations);
    for (auto& configuration : configurations) {
        auto errors = configuration->configurationErrors();
        ASSERT_TRUE(errors);
        ASSERT_EQ(errors->size(), 1u);
        EXPECT_EQ(errors->front().option(), FileSourceConfiguration::ConfigurationOption::destinationDirectory);
        EXPECT_EQ(errors->front().description(), "No destination selected");
        EXPECT_FALSE(errors->front().failureReason());
        EXPECT_EQ(configuration->status(), Status::unavailable);
    }

    // The records hold exactly the keys written, with the raw values.
    auto array = stored("FileSourceConfigurations");
    ASSERT_TRUE(array && array->array() && array->array()->size() == 2);
    auto& record = *array->array()->front().dictionary();
    EXPECT_EQ(record.size(), 6u);
    EXPECT_EQ(*record.at("ID").string(), "AppIcon");
    EXPECT_EQ(*record.at("DisplayName").string(), "App Icon");
    EXPECT_EQ(*record.at("FileFoundAction").string(), "searchForApplications");
    EXPECT_EQ(*record.at("ApplicationFoundAction").string(), "askWhenMultipleFound");
    EXPECT_EQ(*record.at("ApplicationCopiedAction").string(), "askWhenMultipleCopied");
    EXPECT_EQ(*record.at("AllApplicationsHandledAction").string(), "moveToTrash");

    // A second start finds the list and creates nothing.
    auto again = FileSourceConfigurationsManager::make(userDefaults);
    EXPECT_EQ(again->fileSourceConfigurations().size(), 2u);
    EXPECT_EQ(stored("FileSourceConfigurations")->array()->size(), 2u);
}

TEST_F(FileSourceConfigurationTest, StatusFollowsErrorsAndTheFileFoundAction)
{
    auto manager = FileSourceConfigurationsManager::make(userDefaults);
    auto appIcon = manager->fileSourceConfigurations().front();
    ApplicationsDestinationManager destinations(userDefaults);

    ASSERT_TRUE(appIcon->fileFoundAction().store(FileFoundActionOption::ignore).ok());
    EXPECT_EQ(appIcon->status(), Status::partiallyAvailable); // before any errors are known
    appIcon->updateConfigurationErrors(destinations);
    EXPECT_EQ(appIcon->status(), Status::partiallyAvailable); // whatever the errors
    ASSERT_TRUE(appIcon->fileFoundAction().store(FileFoundActionOption::alwaysAsk).ok());
    EXPECT_EQ(appIcon->status(), Status::unavailable);

    auto folder = makeFolder("Applications");
    auto destination = destinations.destination(URL::fileURL(folder));
    ASSERT_TRUE(destination.ok());
    ASSERT_TRUE(appIcon->destinationBookmarkUUID().store((*destination)->uuid()).ok());
    appIcon->updateConfigurationErrors(destinations);
    EXPECT_EQ(appIcon->configurationErrors(), std::vector<FileSourceConfiguration::ConfigurationError> {});
    EXPECT_EQ(appIcon->status(), Status::available);

    // A destination whose folder is gone is invalid, and says where it was.
    fs::remove(folder);
    appIcon->updateConfigurationErrors(destinations);
    auto errors = appIcon->configurationErrors();
    ASSERT_TRUE(errors && errors->size() == 1);
    EXPECT_EQ(errors->front().description(), "Destination is invalid");
    ASSERT_TRUE(errors->front().failureReason());
    EXPECT_NE(errors->front().failureReason()->find(folder.string()), std::string::npos);
    EXPECT_EQ(appIcon->status(), Status::unavailable);

    // A UUID that names no destination counts as none.
    ASSERT_TRUE(appIcon->destinationBookmarkUUID().store(UUID()).ok());
    appIcon->updateConfigurationErrors(destinations);
    EXPECT_EQ(appIcon->configurationErrors()->front().description(), "No destination selected");
}

TEST_F(FileSourceConfigurationTest, RecordsThatCannotBeReadAreLeftOutAndTheOthersStay)
{
    auto missingName = iconRecord("E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "ignore");
    missingName.erase("DisplayName");
    auto badUUID = iconRecord("StatusBarIcon", "ignore");
    badUUID.emplace("DestinationBookmarkUUID", "not a uuid");
    ASSERT_TRUE(userDefaults->set("FileSourceConfigurations",
                                PropertyList::Array {
                                    iconRecord("AppIcon", "searchForApplications"),
                                    iconRecord("StatusBarIcon", "Ignore"), // a title is no raw value
                                    missingName,
                                    badUUID,
                                    iconRecord("6D8B1F2C-0F5E-4C1A-9C1B-1E2D3C4B5A69", "alwaysAsk"),
                                })
                    .ok());

    auto manager = FileSourceConfigurationsManager::make(userDefaults);
    auto configurations = manager->fileSourceConfigurations();
    ASSERT_EQ(configurations.size(), 2u);
    EXPECT_EQ(configurations[0]->id(), "AppIcon");
    EXPECT_EQ(configurations[0]->applicationFoundAction().currentValue(), ApplicationFoundActionOption::copyToDestination);
    EXPECT_EQ(configurations[1]->id(), "6D8B1F2C-0F5E-4C1A-9C1B-1E2D3C4B5A69");
    EXPECT_EQ(configurations[1]->fileSource(), FileSource::directory);
    EXPECT_EQ(configurations[1]->fileFoundAction().currentValue(), FileFoundActionOption::alwaysAsk);
    // Unreadable records are not repaired or removed from the file.
    EXPECT_EQ(stored("FileSourceConfigurations")->array()->size(), 5u);
}

TEST_F(FileSourceConfigurationTest, AddedFolderIsWatchedAndAMovedFolderIsFollowed)
{
    auto manager = FileSourceConfigurationsManager::make(userDefaults);
    auto downloads = makeFolder("Downloads");
    UUID destination;
    auto added = manager->addFolder(URL::fileURL(downloads), destination);
    ASSERT_TRUE(added.ok()) << added.error()->description();
    auto folder = *added;
    EXPECT_NE(folder->id(), "AppIcon");
    EXPECT_TRUE(UUID::fromString(folder->id()));
    EXPECT_EQ(UUID::fromString(folder->id())->uuidString(), folder->id());
    EXPECT_EQ(folder->fileSource(), FileSource::directory);
    EXPECT_EQ(folder->displayName().currentValue(), downloads.string());
    EXPECT_EQ(folder->destinationBookmarkUUID().currentValue(), destination);
    EXPECT_EQ(folder->fileFoundAction().currentValue(), FileFoundActionOption::searchForApplications);
    ASSERT_EQ(manager->fileSourceConfigurations().size(), 3u);
    EXPECT_EQ(manager->fileSourceConfigurations()[2], folder);
    auto url = folder->watchDirectoryURL();
    ASSERT_TRUE(url);
    EXPECT_EQ(url->path(), downloads);

    auto record = *stored("FileSourceConfigurations")->array()->at(2).dictionary();
    EXPECT_EQ(*record.at("DestinationBookmarkUUID").string(), destination.uuidString());
    auto oldBookmark = *record.at("WatchDirectoryBookmarkData").data();

    fs::rename(downloads, root / "Downloads (old)");
    url = folder->watchDirectoryURL();
    ASSERT_TRUE(url);
    EXPECT_EQ(url->path(), root / "Downloads (old)");
    auto newBookmark = *stored("FileSourceConfigurations")->array()->at(2).find("WatchDirectoryBookmarkData")->data();
    EXPECT_NE(newBookmark, oldBookmark);
    auto resolved = resolveBookmarkData(newBookmark);
    ASSERT_TRUE(resolved.ok());
    EXPECT_FALSE(resolved->isStale);
    // The display name stays what the user chose.
    EXPECT_EQ(folder->displayName().currentValue(), downloads.string());

    fs::remove(root / "Downloads (old)");
    EXPECT_FALSE(folder->watchDirectoryURL());
}

TEST_F(FileSourceConfigurationTest, AddingAMissingFolderFailsAndWritesNothing)
{
    auto manager = FileSourceConfigurationsManager::make(userDefaults);
    auto before = stored("FileSourceConfigurations");
    auto added = manager->addFolder(URL::fileURL(root / "nowhere", true), std::nullopt);
    ASSERT_FALSE(added.ok());
    EXPECT_EQ(stored("FileSourceConfigurations"), before);
    EXPECT_EQ(manager->fileSourceConfigurations().size(), 2u);
}

TEST_F(FileSourceConfigurationTest, RemovingKeepsTheOtherObjectsAndTheirRecords)
{
    auto manager = FileSourceConfigurationsManager::make(userDefaults);
    auto appIcon = manager->fileSourceConfigurations()[0];
    auto statusBarIcon = manager->fileSourceConfigurations()[1];
    auto a = manager->addFolder(URL::fileURL(makeFolder("A")), std::nullopt);
    auto b = manager->addFolder(URL::fileURL(makeFolder("B")), std::nullopt);
    ASSERT_TRUE(a.ok() && b.ok());
    // Adding keeps the objects already published.
    EXPECT_EQ(manager->fileSourceConfigurations()[0], appIcon);
    EXPECT_EQ(manager->fileSourceConfigurations()[1], statusBarIcon);

    ASSERT_TRUE(manager->removeConfigurations([](const FileSourceConfiguration& configuration) {
                           return configuration.id() == "AppIcon";
                       })
                    .ok());
    auto list = manager->fileSourceConfigurations();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], statusBarIcon);
    EXPECT_EQ(list[1], *a);
    EXPECT_EQ(list[2], *b);
    // Each object still reads and writes its own record.
    EXPECT_EQ((*b)->displayName().currentValue(), (root / "B").string());
    ASSERT_TRUE((*b)->applicationCopiedAction().store(ApplicationCopiedActionOption::openApp).ok());
    EXPECT_EQ(*stored("FileSourceConfigurations")->array()->at(2).find("ApplicationCopiedAction")->string(), "openApp");
    EXPECT_EQ(*stored("FileSourceConfigurations")->array()->at(1).find("ApplicationCopiedAction")->string(), "askWhenMultipleCopied");

    // A second removal after the first.
    auto aID = (*a)->id();
    ASSERT_TRUE(manager->removeConfigurations([&](const FileSourceConfiguration& configuration) {
                           return configuration.id() == aID;
                       })
                    .ok());
    EXPECT_EQ(displayNames(*manager), (std::vector<std::string> {"Status Bar Icon", (root / "B").string()}));
    auto array = stored("FileSourceConfigurations");
    ASSERT_EQ(array->array()->size(), 2u);
    EXPECT_EQ(*array->array()->at(0).find("ID")->string(), "StatusBarIcon");
    EXPECT_EQ(*array->array()->at(1).find("ID")->string(), (*b)->id());
    EXPECT_EQ((*b)->applicationCopiedAction().currentValue(), ApplicationCopiedActionOption::openApp);

    // A manager started afresh reads the same list.
    auto reread = FileSourceConfigurationsManager::make(userDefaults);
    EXPECT_EQ(displayNames(*reread), displayNames(*manager));
}

TEST_F(FileSourceConfigurationTest, ChangesThroughAnotherManagerReachThePublishedObjects)
{
    auto manager = FileSourceConfigurationsManager::make(userDefaults);
    auto other = FileSourceConfigurationsManager::make(userDefaults);
    auto appIcon = manager->fileSourceConfigurations()[0];

    std::vector<size_t> published;
    auto token = manager->fileSourceConfigurationsPublisher().sink(
        [&](const FileSourceConfigurationsManager::Configurations& list) { published.push_back(list.size()); });
    auto added = other->addFolder(URL::fileURL(makeFolder("Downloads")), std::nullopt);
    ASSERT_TRUE(added.ok());
    ASSERT_EQ(manager->fileSourceConfigurations().size(), 3u);
    EXPECT_EQ(manager->fileSourceConfigurations()[0], appIcon);
    EXPECT_EQ(manager->fileSourceConfigurations()[2]->id(), (*added)->id());
    EXPECT_EQ(published.front(), 2u);
    EXPECT_EQ(published.back(), 3u);

    // An option changed through one object is seen by the other's.
    ASSERT_TRUE(other->fileSourceConfigurations()[0]->fileFoundAction().store(FileFoundActionOption::ignore).ok());
    EXPECT_EQ(appIcon->fileFoundAction().currentValue(), FileFoundActionOption::ignore);
    EXPECT_EQ(appIcon->status(), Status::partiallyAvailable);
}

TEST_F(FileSourceConfigurationTest, UnreadableListLeavesThePublishedListAlone)
{
    auto manager = FileSourceConfigurationsManager::make(userDefaults);
    auto before = manager->fileSourceConfigurations();
    log::LogCapture logs;
    ASSERT_TRUE(userDefaults->set("FileSourceConfigurations", PropertyList("not a list")).ok());
    EXPECT_EQ(manager->fileSourceConfigurations(), before);
    size_t reported = 0;
    for (const auto& entry : logs.entries())
        reported += entry.level == log::Level::error && entry.message.starts_with("Persister error: ");
    EXPECT_EQ(reported, 1u);
}

TEST_F(FileSourceConfigurationTest, DescriptionAndEquality)
{
    auto manager = FileSourceConfigurationsManager::make(userDefaults);
    auto appIcon = manager->fileSourceConfigurations()[0];
    EXPECT_EQ(appIcon->description(),
        "<FileSourceConfiguration id=AppIcon; fileSource=appIcon; displayName=App Icon; destinationBookmarkUUID=nil; "
        "watchDirectoryBookmarkData=nil>");

    auto other = FileSourceConfigurationsManager::make(userDefaults);
    auto sameRecord = other->fileSourceConfigurations()[0];
    EXPECT_NE(sameRecord, appIcon);
    EXPECT_EQ(*sameRecord, *appIcon);
    EXPECT_EQ(std::hash<FileSourceConfiguration>()(*sameRecord), std::hash<FileSourceConfiguration>()(*appIcon));
    EXPECT_FALSE(*appIcon == *manager->fileSourceConfigurations()[1]);

    // The options take no part; the destination does.
    ASSERT_TRUE(appIcon->fileFoundAction().store(FileFoundActionOption::ignore).ok());
    EXPECT_EQ(*sameRecord, *appIcon);
    ASSERT_TRUE(appIcon->destinationBookmarkUUID().store(UUID()).ok());
    EXPECT_EQ(*sameRecord, *appIcon); // both read the same record
    EXPECT_FALSE(*appIcon == *manager->fileSourceConfigurations()[1]);
}

TEST(UUIDTransformerTest, CanonicalStringAndInvalidUUID)
{
    UUIDTransformer transformer;
    auto uuid = *UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    EXPECT_EQ(*transformer.transform(uuid), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(*transformer.untransform("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"), uuid);
    auto invalid = transformer.untransform("E621E1F8");
    ASSERT_FALSE(invalid.ok());
    auto* error = dynamic_cast<const UUIDTransformer::UntransformError*>(invalid.error().get());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->string(), "E621E1F8");
}

TEST_F(FileSourceConfigurationTest, RemovingOneAfterAnotherRemovesExactlyThose)
{
    auto manager = FileSourceConfigurationsManager::make(userDefaults);
    for (auto name : {"X", "Y", "Z"})
        ASSERT_TRUE(manager->addFolder(URL::fileURL(makeFolder(name)), std::nullopt).ok());
    auto removeNamed = [&](const std::string& name) {
        return manager->removeConfigurations([&](const FileSourceConfiguration& configuration) {
            return configuration.displayName().currentValue() == name;
        });
    };
    ASSERT_TRUE(removeNamed("App Icon").ok());
    ASSERT_TRUE(removeNamed((root / "X").string()).ok());
    ASSERT_TRUE(removeNamed("Status Bar Icon").ok());

    std::vector<std::string> inFile;
    auto array = stored("FileSourceConfigurations");
    ASSERT_TRUE(array && array->array());
    for (auto& record : *array->array())
        inFile.push_back(*record.find("DisplayName")->string());
    EXPECT_EQ(inFile, (std::vector<std::string> {(root / "Y").string(), (root / "Z").string()}));
    EXPECT_EQ(displayNames(*manager), inFile);
}

// The running manager against another process that removes folders in
// different orders and then changes a folder that is left.
TEST_F(FileSourceConfigurationTest, ChangesByAnotherProcessLeaveTheRunningListExactlyAsStored)
{
    const std::vector<std::vector<int>> orders {{0, 1, 2}, {2, 1, 0}, {1, 0, 2}, {1, 2, 0}};
    for (const auto& order : orders) {
        SCOPED_TRACE(::testing::PrintToString(order));
        auto store = defaults::UserDefaults::suite("app.tavik.Tavik.test-" + UUID().uuidString());
        // An icon record that cannot be read (a title is no raw value) sits among the folders.
        ASSERT_TRUE(store->set("FileSourceConfigurations",
                             PropertyList::Array {iconRecord("AppIcon", "searchForApplications"), iconRecord("StatusBarIcon", "Ignore")})
                        .ok());
        auto manager = FileSourceConfigurationsManager::make(store);
        std::vector<FileSourceConfigurationPtr> folders;
        std::map<std::string, std::string> names;
        for (auto name : {"X", "Y", "Z"}) {
            auto folder = makeFolder(UUID().uuidString() + name);
            folders.push_back(manager->addFolder(URL::fileURL(folder), std::nullopt).value());
            names[folders.back()->id()] = folder.string();
        }

        auto storedIDs = [&] {
            std::vector<std::string> ids;
            auto file = PropertyList::readFile(store->filePath());
            for (auto& record : *file->find("FileSourceConfigurations")->array())
                ids.push_back(*record.find("ID")->string());
            return ids;
        };
        auto publishedIDs = [&] {
            std::vector<std::string> ids;
            for (auto& configuration : manager->fileSourceConfigurations())
                ids.push_back(configuration->id());
            return ids;
        };
        std::vector<std::string> left {"AppIcon", "StatusBarIcon", folders[0]->id(), folders[1]->id(), folders[2]->id()};
        std::vector<FileSourceConfigurationPtr> remaining = folders;
        for (int index : order) {
            const auto id = folders[size_t(index)]->id();
            ASSERT_EQ(runSourcesEditor(store->filePath(), {"remove", id}), 0);
            std::erase(left, id);
            std::erase(remaining, folders[size_t(index)]);
            EXPECT_EQ(storedIDs(), left) << "the unreadable record is kept";
            auto readable = left;
            std::erase(readable, "StatusBarIcon");
            ASSERT_TRUE(eventually([&] { return publishedIDs() == readable; }));

            // Another process changes a folder that is left: the running
            // manager's object for it reads the change, and no record moves.
            if (remaining.empty())
                continue;
            auto changed = remaining.front();
            ASSERT_EQ(runSourcesEditor(store->filePath(), {"set", changed->id(), "FileFoundAction", "ignore"}), 0);
            EXPECT_TRUE(eventually([&] { return changed->fileFoundAction().currentValue() == FileFoundActionOption::ignore; }));
            ASSERT_TRUE(changed->fileFoundAction().store(FileFoundActionOption::alwaysAsk).ok());
            for (auto& other : remaining) {
                EXPECT_EQ(other->displayName().currentValue(), names[other->id()]);
                EXPECT_EQ(other->fileFoundAction().currentValue(),
                    other == changed ? FileFoundActionOption::alwaysAsk : FileFoundActionOption::searchForApplications);
            }
            EXPECT_EQ(storedIDs(), left) << "writes through the running objects add no record";
        }
        std::error_code error;
        fs::remove(store->filePath(), error);
    }
}
