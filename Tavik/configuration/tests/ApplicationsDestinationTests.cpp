#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "platform/foundation/Bookmark.hpp"

using namespace tavik;
using plist::PropertyList;
namespace fs = std::filesystem;

using ApplicationsDestinationTest = tavik::testing::ConfigurationTest;

TEST_F(ApplicationsDestinationTest, OneDestinationPerFolderStoredInOrderAndFollowedWhenMoved)
{
    auto folder = makeFolder("Applications");
    fs::create_directory_symlink(folder, root / "Apps");
    ApplicationsDestinationManager manager(userDefaults);
    auto first = manager.destination(URL::fileURL(folder)).value();
    EXPECT_EQ(manager.destination(URL::fileURL(folder)).value()->uuid(), first->uuid());
    EXPECT_EQ(manager.destination(URL::fileURL(root / "Apps")).value()->uuid(), first->uuid()) << "through a link";
    auto other = manager.destination(URL::fileURL(makeFolder("Other"))).value();
    EXPECT_NE(other->uuid(), first->uuid());

    // Stored as records of bookmark data and canonical UUID strings, read back in order.
    auto array = stored("ApplicationDestinations");
    ASSERT_TRUE(array && array->array() && array->array()->size() == 2u);
    auto oldBookmark = *array->array()->front().find("DestinationBookmark")->data();
    EXPECT_EQ(*array->array()->front().find("UUID")->string(), first->uuid().uuidString());
    ApplicationsDestinationManager reread(userDefaults);
    ASSERT_EQ(reread.destinations().size(), 2u);
    EXPECT_EQ(reread.destinations()[0]->uuid(), first->uuid());
    EXPECT_EQ(reread.destination(other->uuid())->uuid(), other->uuid());
    EXPECT_EQ(reread.destination(UUID()), nullptr);

    // Moved: it resolves to the new place, its bookmark is rewritten, and
    // choosing the folder there finds the same destination.
    fs::rename(folder, root / "My Applications");
    EXPECT_EQ(first->url().value().path(), root / "My Applications");
    auto newBookmark = *stored("ApplicationDestinations")->array()->front().find("DestinationBookmark")->data();
    EXPECT_NE(newBookmark, oldBookmark);
    auto resolved = resolveBookmarkData(newBookmark).value();
    EXPECT_FALSE(resolved.isStale);
    EXPECT_EQ(resolved.url.path(), root / "My Applications");
    EXPECT_EQ(manager.destination(URL::fileURL(root / "My Applications")).value()->uuid(), first->uuid());
}

TEST_F(ApplicationsDestinationTest, AMissingFolderFailsWithItsPathAndIsNotChosenAgain)
{
    auto folder = makeFolder("Gone");
    ApplicationsDestinationManager manager(userDefaults);
    auto destination = manager.destination(URL::fileURL(folder)).value();
    fs::remove(folder);
    auto url = destination->url();
    ASSERT_FALSE(url.ok());
    EXPECT_NE(url.error()->failureReason().value_or("").find(folder.string()), std::string::npos);
    EXPECT_FALSE(manager.destination(URL::fileURL(folder)).ok());
    EXPECT_EQ(manager.destinations().size(), 1u);
}

TEST_F(ApplicationsDestinationTest, IncompleteRecordsAreLeftOut)
{
    auto record = [](std::optional<PropertyList> bookmark, PropertyList uuid) {
        PropertyList::Dictionary dictionary {{"UUID", uuid}};
        if (bookmark)
            dictionary.emplace("DestinationBookmark", *bookmark);
        return PropertyList(dictionary);
    };
    auto good = UUID();
    PropertyList bookmark(bookmarkData(URL::fileURL(makeFolder("Applications")), BookmarkCreationOptions::withSecurityScope).value());
    ASSERT_TRUE(userDefaults->set("ApplicationDestinations", PropertyList::Array {record(bookmark, PropertyList("not-a-uuid")), record(std::nullopt, PropertyList(UUID().uuidString())), record(PropertyList("not data"), PropertyList(UUID().uuidString())), record(bookmark, PropertyList(int64_t(7))), record(bookmark, PropertyList(good.uuidString()))}).ok());

    auto destinations = ApplicationsDestinationManager(userDefaults).destinations();
    ASSERT_EQ(destinations.size(), 1u);
    EXPECT_EQ(destinations.front()->uuid(), good);
    EXPECT_EQ(destinations.front()->url().value().path(), root / "Applications");
}
