#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/ApplicationsFolder.hpp"
#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "platform/foundation/Bookmark.hpp"
#include "platform/testing/ScopedEnvironment.hpp"

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

TEST(ApplicationsFolderTest, RecognisesTheMachineAndTheUserFoldersAlsoThroughALink)
{
    tavik::testing::ScratchFolder root("tavik-apps");
    auto home = root / "home/me";
    fs::create_directories(home / "Applications");
    fs::create_directory_symlink(home / "Applications", root / "Apps");
    tavik::testing::ScopedEnvironment environment;
    environment.set("HOME", home.string());
    for (auto [folder, expected] : std::vector<std::pair<fs::path, bool>> {{"/Applications", true}, {home / "Applications", true}, {home / "Applications/", true}, {root / "Apps", true}, {home, false}, {home / "Downloads", false}, {home / "Applications/Games", false}})
        EXPECT_EQ(isApplicationsFolder(URL::fileURL(folder, true)), expected) << folder;

    // A home inside a container: the user's own folder is /<top>/<name>/Applications.
    environment.set("HOME", "/home/me/.var/app/app.tavik.Tavik/data");
    auto user = applicationsDirectories(SearchPathDomain::user);
    ASSERT_EQ(user.size(), 1u);
    EXPECT_EQ(user.front().path(), "/home/me/.var/app/app.tavik.Tavik/data/Applications");
    EXPECT_TRUE(isApplicationsFolder(URL::fileURL("/home/me/Applications", true)));
    EXPECT_FALSE(isApplicationsFolder(URL::fileURL("/home/other/Applications", true)));
}
