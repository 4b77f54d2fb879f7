#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/testing/Eventually.hpp"

using namespace tavik;
using namespace tavik::options;
using plist::PropertyList;
using tavik::testing::eventually;
using tavik::testing::runTavik;
using Status = FileSourceConfiguration::Status;
namespace fs = std::filesystem;

namespace {

class FileSourceConfigurationTest : public tavik::testing::SourcesTest {
protected:
    static std::vector<std::string> ids(const FileSourceConfigurationsManager& manager)
    {
        std::vector<std::string> ids;
        for (auto& configuration : manager.fileSourceConfigurations())
            ids.push_back(configuration->id());
        return ids;
    }
    // The IDs of the records in the defaults file, readable or not.
    std::vector<std::string> storedIDs(const defaults::UserDefaults& store) const
    {
        std::vector<std::string> ids;
        auto file = PropertyList::readFile(store.filePath());
        for (auto& record : *file->find("FileSourceConfigurations")->array())
            ids.push_back(*record.find("ID")->string());
        return ids;
    }
};

PropertyList::Dictionary iconRecord(const std::string& id, const std::string& fileFoundAction)
{
    return {{"ID", id}, {"DisplayName", id}, {"FileFoundAction", fileFoundAction}, {"ApplicationFoundAction", "copyToDestination"},
        {"ApplicationCopiedAction", "openApp"}, {"AllApplicationsHandledAction", "doNothing"}};
}

} // namespace

TEST_F(FileSourceConfigurationTest, FirstStartStoresTheTwoIconSourcesWithoutDestinationOnce)
{
    auto configurations = sources->fileSourceConfigurations();
    ASSERT_EQ(configurations.size(), 2u);
    EXPECT_EQ(configurations[1]->fileSource(), FileSource::statusBarIcon);
    EXPECT_EQ(configurations[0]->status(), Status::notDetermined);
    sources->updateConfigurationErrors(*destinations);
    for (auto& configuration : configurations) {
        auto errors = configuration->configurationErrors().value();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors.front().option(), FileSourceConfiguration::ConfigurationOption::destinationDirectory);
        EXPECT_EQ(errors.front().description(), "No destination selected");
        EXPECT_EQ(configuration->status(), Status::unavailable);
    }

    // The stored records: exactly these keys, with the raw values.
    auto array = stored("FileSourceConfigurations");
    ASSERT_TRUE(array && array->array() && array->array()->size() == 2);
    EXPECT_EQ(*array->array()->front().dictionary(), (PropertyList::Dictionary {{"ID", "AppIcon"}, {"DisplayName", "App Icon"}, {"FileFoundAction", "searchForApplications"}, {"ApplicationFoundAction", "askWhenMultipleFound"}, {"ApplicationCopiedAction", "askWhenMultipleCopied"}, {"AllApplicationsHandledAction", "moveToTrash"}}));
    EXPECT_EQ(*array->array()->back().find("ID")->string(), "StatusBarIcon");

    // A second start finds the list and creates nothing.
    EXPECT_EQ(FileSourceConfigurationsManager::make(userDefaults)->fileSourceConfigurations().size(), 2u);
    EXPECT_EQ(stored("FileSourceConfigurations")->array()->size(), 2u);
}

TEST_F(FileSourceConfigurationTest, StatusFollowsErrorsAndTheFileFoundAction)
{
    auto appIcon = sources->fileSourceConfigurations().front();

    ASSERT_TRUE(appIcon->fileFoundAction().store(FileFoundActionOption::ignore).ok());
    EXPECT_EQ(appIcon->status(), Status::partiallyAvailable) << "before any errors are known";
    appIcon->updateConfigurationErrors(*destinations);
    EXPECT_EQ(appIcon->status(), Status::partiallyAvailable) << "whatever the errors";
    ASSERT_TRUE(appIcon->fileFoundAction().store(FileFoundActionOption::alwaysAsk).ok());
    EXPECT_EQ(appIcon->status(), Status::unavailable);

    auto folder = makeFolder("Applications");
    ASSERT_TRUE(appIcon->destinationBookmarkUUID().store(destinations->destination(URL::fileURL(folder)).value()->uuid()).ok());
    appIcon->updateConfigurationErrors(*destinations);
    EXPECT_EQ(appIcon->configurationErrors(), std::vector<FileSourceConfiguration::ConfigurationError> {});
    EXPECT_EQ(appIcon->status(), Status::available);

    // A destination whose folder is gone is invalid, says where it was, and is not chosen again.
    fs::remove(folder);
    EXPECT_FALSE(destinations->destination(URL::fileURL(folder)).ok());
    appIcon->updateConfigurationErrors(*destinations);
    auto errors = appIcon->configurationErrors();
    ASSERT_TRUE(errors && errors->size() == 1);
    EXPECT_EQ(errors->front().description(), "Destination is invalid");
    EXPECT_NE(errors->front().failureReason().value_or("").find(folder.string()), std::string::npos);
    EXPECT_EQ(appIcon->status(), Status::unavailable);

    // A UUID that names no destination counts as none.
    ASSERT_TRUE(appIcon->destinationBookmarkUUID().store(UUID()).ok());
    appIcon->updateConfigurationErrors(*destinations);
    EXPECT_EQ(appIcon->configurationErrors()->front().description(), "No destination selected");
}

TEST_F(FileSourceConfigurationTest, UnreadableRecordsAreLeftOutButKeptInTheFile)
{
    auto missingName = iconRecord("E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "ignore");
    missingName.erase("DisplayName");
    auto badUUID = iconRecord("StatusBarIcon", "ignore");
    badUUID.emplace("DestinationBookmarkUUID", "not a uuid");
    auto store = defaults::UserDefaults::atPath(root / "other.plist");
    ASSERT_TRUE(store->set("FileSourceConfigurations", PropertyList::Array {iconRecord("AppIcon", "searchForApplications"), iconRecord("StatusBarIcon", "Ignore"), // a title is no raw value
                                                           missingName, badUUID, iconRecord("6D8B1F2C-0F5E-4C1A-9C1B-1E2D3C4B5A69", "alwaysAsk")})
                    .ok());

    auto configurations = FileSourceConfigurationsManager::make(store)->fileSourceConfigurations();
    ASSERT_EQ(configurations.size(), 2u);
    EXPECT_EQ(configurations[0]->applicationFoundAction().currentValue(), ApplicationFoundActionOption::copyToDestination);
    EXPECT_EQ(configurations[1]->id(), "6D8B1F2C-0F5E-4C1A-9C1B-1E2D3C4B5A69");
    EXPECT_EQ(configurations[1]->fileSource(), FileSource::directory);
    EXPECT_EQ(configurations[1]->fileFoundAction().currentValue(), FileFoundActionOption::alwaysAsk);
    EXPECT_EQ(storedIDs(*store).size(), 5u) << "unreadable records are neither repaired nor removed";
    EXPECT_EQ(UUIDTransformer().untransform("not a uuid").error()->description(), "not a uuid is not a valid UUID");

    // A list that is no list at all leaves the published one alone, and says so once.
    log::LogCapture logs;
    ASSERT_TRUE(userDefaults->set("FileSourceConfigurations", PropertyList("not a list")).ok());
    EXPECT_EQ(sources->fileSourceConfigurations().size(), 2u);
    size_t reported = 0;
    for (const auto& entry : logs.entries())
        reported += entry.level == log::Level::error && entry.message.starts_with("Persister error: ");
    EXPECT_EQ(reported, 1u);
}

TEST_F(FileSourceConfigurationTest, AnAddedFolderIsStoredAndFollowedWhenMoved)
{
    auto downloads = makeFolder("Downloads");
    UUID destination;
    auto folder = addFolder("Downloads", destination);
    EXPECT_EQ(UUID::fromString(folder->id()).value().uuidString(), folder->id());
    EXPECT_EQ(folder->fileSource(), FileSource::directory);
    EXPECT_EQ(folder->displayName().currentValue(), downloads.string());
    EXPECT_EQ(folder->destinationBookmarkUUID().currentValue(), destination);
    EXPECT_EQ(sources->fileSourceConfigurations().back(), folder);
    EXPECT_EQ(folder->watchDirectoryURL().value().path(), downloads);
    EXPECT_EQ(*stored("FileSourceConfigurations")->array()->at(2).find("DestinationBookmarkUUID")->string(), destination.uuidString());

    // Moved, it is followed (its bookmark renewed, as the watchers' start checks); gone, it has no URL.
    fs::rename(downloads, root / "Downloads (old)");
    EXPECT_EQ(folder->watchDirectoryURL().value().path(), root / "Downloads (old)");
    EXPECT_EQ(folder->displayName().currentValue(), downloads.string()) << "the name stays what the user chose";
    fs::remove(root / "Downloads (old)");
    EXPECT_FALSE(folder->watchDirectoryURL());

    // A folder that is not there is refused and nothing is written.
    auto before = stored("FileSourceConfigurations");
    EXPECT_FALSE(sources->addFolder(URL::fileURL(root / "nowhere", true), std::nullopt).ok());
    EXPECT_EQ(stored("FileSourceConfigurations"), before);
    EXPECT_EQ(sources->fileSourceConfigurations().size(), 3u);
}

TEST_F(FileSourceConfigurationTest, ChangesThroughAnotherManagerReachThePublishedObjects)
{
    auto other = FileSourceConfigurationsManager::make(userDefaults);
    auto appIcon = sources->fileSourceConfigurations()[0];
    std::vector<size_t> published;
    auto token = sources->fileSourceConfigurationsPublisher().sink(
        [&](const FileSourceConfigurationsManager::Configurations& list) { published.push_back(list.size()); });
    auto added = other->addFolder(URL::fileURL(makeFolder("Downloads")), std::nullopt).value();
    EXPECT_EQ(ids(*sources), ids(*other));
    EXPECT_EQ(sources->fileSourceConfigurations()[0], appIcon);
    EXPECT_EQ(published.front(), 2u);
    EXPECT_EQ(published.back(), 3u);

    // An option changed through one object is seen by the other's.
    ASSERT_TRUE(other->fileSourceConfigurations()[0]->fileFoundAction().store(FileFoundActionOption::ignore).ok());
    EXPECT_EQ(appIcon->fileFoundAction().currentValue(), FileFoundActionOption::ignore);
    EXPECT_EQ(appIcon->status(), Status::partiallyAvailable);

    // Objects of the same record are equal (and hash alike) whatever their
    // options; the description logged names the record.
    EXPECT_EQ(appIcon->description(), "<FileSourceConfiguration id=AppIcon; fileSource=appIcon; displayName=App Icon; destinationBookmarkUUID=nil; watchDirectoryBookmarkData=nil>");
    auto sameRecord = other->fileSourceConfigurations()[0];
    EXPECT_EQ(*sameRecord, *appIcon);
    EXPECT_FALSE(*appIcon == *added);
    EXPECT_EQ(std::hash<FileSourceConfiguration>()(*sameRecord), std::hash<FileSourceConfiguration>()(*appIcon));
}

// The running manager against `tavik sources` in another process, removing
// folders in different orders and then changing a folder that is left.
TEST_F(FileSourceConfigurationTest, ChangesByAnotherProcessLeaveTheRunningListExactlyAsStored)
{
    for (const auto& order : std::vector<std::vector<size_t>> {{0, 1, 2}, {2, 1, 0}, {1, 0, 2}, {1, 2, 0}}) {
        SCOPED_TRACE(::testing::PrintToString(order));
        tavik::testing::ScratchFolder config("tavik-config");
        auto store = defaults::UserDefaults::atPath(config / "tavik/app.tavik.Tavik.plist");
        // An icon record that cannot be read (a title is no raw value) sits among the folders.
        ASSERT_TRUE(store->set("FileSourceConfigurations", PropertyList::Array {iconRecord("AppIcon", "searchForApplications"), iconRecord("StatusBarIcon", "Ignore")}).ok());
        auto running = FileSourceConfigurationsManager::make(store);
        std::vector<FileSourceConfigurationPtr> folders;
        for (auto name : {"X", "Y", "Z"})
            folders.push_back(running->addFolder(URL::fileURL(makeFolder(UUID().uuidString() + name)), std::nullopt).value());

        std::vector<std::string> left {"AppIcon", "StatusBarIcon", folders[0]->id(), folders[1]->id(), folders[2]->id()};
        std::vector<FileSourceConfigurationPtr> remaining = folders;
        for (size_t index : order) {
            ASSERT_EQ(runTavik(config.path(), {"sources", "remove", folders[index]->id()}), 0);
            std::erase(left, folders[index]->id());
            std::erase(remaining, folders[index]);
            EXPECT_EQ(storedIDs(*store), left) << "the unreadable record is kept";
            auto readable = left;
            std::erase(readable, "StatusBarIcon");
            ASSERT_TRUE(eventually([&] { return ids(*running) == readable; }));
            if (remaining.empty())
                continue;

            // The running object of a folder that is left reads the other
            // process's change, and writes through it add no record.
            auto changed = remaining.front();
            ASSERT_EQ(runTavik(config.path(), {"sources", "set", changed->id(), "FileFoundAction", "ignore"}), 0);
            EXPECT_TRUE(eventually([&] { return changed->fileFoundAction().currentValue() == FileFoundActionOption::ignore; }));
            ASSERT_TRUE(changed->fileFoundAction().store(FileFoundActionOption::alwaysAsk).ok());
            for (auto& other : remaining) {
                EXPECT_EQ(other->displayName().currentValue(), other->watchDirectoryURL()->path().string());
                EXPECT_EQ(other->fileFoundAction().currentValue(), other == changed ? FileFoundActionOption::alwaysAsk : FileFoundActionOption::searchForApplications);
            }
            EXPECT_EQ(storedIDs(*store), left);
        }
    }
}
