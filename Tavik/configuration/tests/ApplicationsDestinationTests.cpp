#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "platform/foundation/Bookmark.hpp"

using namespace tavik;
using plist::PropertyList;
using tavik::testing::ConfigurationTest;
namespace fs = std::filesystem;

namespace {

class ApplicationsDestinationTest : public ConfigurationTest {};

PropertyList record(std::optional<PropertyList> bookmark, std::optional<PropertyList> uuid)
{
    PropertyList::Dictionary dictionary;
    if (bookmark)
        dictionary.emplace("DestinationBookmark", *bookmark);
    if (uuid)
        dictionary.emplace("UUID", *uuid);
    return dictionary;
}

PropertyList bookmarkOf(const fs::path& folder)
{
    auto data = bookmarkData(URL::fileURL(folder), BookmarkCreationOptions::withSecurityScope);
    EXPECT_TRUE(data.ok());
    return PropertyList(*data);
}

} // namespace

TEST_F(ApplicationsDestinationTest, SameFolderTwiceAlsoThroughASymbolicLinkGivesOneDestination)
{
    auto folder = makeFolder("Applications");
    fs::create_directory_symlink(folder, root / "Apps");
    ApplicationsDestinationManager manager(userDefaults);

    auto first = manager.destination(URL::fileURL(folder));
    ASSERT_TRUE(first.ok()) << first.error()->description();
    auto again = manager.destination(URL::fileURL(folder));
    auto throughLink = manager.destination(URL::fileURL(root / "Apps"));
    ASSERT_TRUE(again.ok() && throughLink.ok());
    EXPECT_EQ((*again)->uuid(), (*first)->uuid());
    EXPECT_EQ((*throughLink)->uuid(), (*first)->uuid());

    auto other = manager.destination(URL::fileURL(makeFolder("Other")));
    ASSERT_TRUE(other.ok());
    EXPECT_NE((*other)->uuid(), (*first)->uuid());

    // Stored as two records of bookmark data and canonical UUID strings.
    auto array = stored("ApplicationDestinations");
    ASSERT_TRUE(array && array->array());
    ASSERT_EQ(array->array()->size(), 2u);
    const auto& firstRecord = array->array()->front();
    ASSERT_TRUE(firstRecord.find("DestinationBookmark") && firstRecord.find("DestinationBookmark")->data());
    ASSERT_TRUE(firstRecord.find("UUID") && firstRecord.find("UUID")->string());
    EXPECT_EQ(*firstRecord.find("UUID")->string(), (*first)->uuid().uuidString());

    // A new manager over the same store reads them back, in order.
    ApplicationsDestinationManager reread(userDefaults);
    auto destinations = reread.destinations();
    ASSERT_EQ(destinations.size(), 2u);
    EXPECT_EQ(destinations[0]->uuid(), (*first)->uuid());
    EXPECT_EQ(destinations[1]->uuid(), (*other)->uuid());
    EXPECT_EQ(reread.destination((*other)->uuid())->uuid(), (*other)->uuid());
    EXPECT_EQ(reread.destination(UUID()), nullptr);
}

TEST_F(ApplicationsDestinationTest, MovedDestinationResolvesToItsNewPlaceAndItsBookmarkIsRewritten)
{
    auto folder = makeFolder("Applications");
    ApplicationsDestinationManager manager(userDefaults);
    auto destination = manager.destination(URL::fileURL(folder));
    ASSERT_TRUE(destination.ok());
    auto before = stored("ApplicationDestinations");
    ASSERT_TRUE(before && before->array() && before->array()->front().find("DestinationBookmark"));
    auto oldBytes = *before->array()->front().find("DestinationBookmark")->data();

    fs::rename(folder, root / "My Applications");
    auto url = (*destination)->url();
    ASSERT_TRUE(url.ok()) << url.error()->description();
    EXPECT_EQ(url->path(), root / "My Applications");

    auto newBytes = *stored("ApplicationDestinations")->array()->front().find("DestinationBookmark")->data();
    EXPECT_NE(newBytes, oldBytes);
    auto resolved = resolveBookmarkData(newBytes);
    ASSERT_TRUE(resolved.ok());
    EXPECT_FALSE(resolved->isStale);
    EXPECT_EQ(resolved->url.path(), root / "My Applications");

    // Choosing the folder at its new place finds the same destination.
    auto chosen = manager.destination(URL::fileURL(root / "My Applications"));
    ASSERT_TRUE(chosen.ok());
    EXPECT_EQ((*chosen)->uuid(), (*destination)->uuid());
}

TEST_F(ApplicationsDestinationTest, MissingFolderFailsAndIsNotChosenAgain)
{
    auto folder = makeFolder("Gone");
    ApplicationsDestinationManager manager(userDefaults);
    auto destination = manager.destination(URL::fileURL(folder));
    ASSERT_TRUE(destination.ok());
    fs::remove(folder);

    auto url = (*destination)->url();
    ASSERT_FALSE(url.ok());
    ASSERT_TRUE(url.error()->failureReason());
    EXPECT_NE(url.error()->failureReason()->find(folder.string()), std::string::npos);

    // A folder that does not exist cannot become a destination.
    EXPECT_FALSE(manager.destination(URL::fileURL(folder)).ok());
    EXPECT_EQ(manager.destinations().size(), 1u);
}

TEST_F(ApplicationsDestinationTest, IncompleteRecordsAreLeftOut)
{
    auto good = UUID();
    auto bookmark = bookmarkOf(makeFolder("Applications"));
    ASSERT_TRUE(userDefaults->set("ApplicationDestinations",
                                PropertyList::Array {
                                    record(bookmark, PropertyList("not-a-uuid")),
                                    record(std::nullopt, PropertyList(UUID().uuidString())),
                                    record(PropertyList("not data"), PropertyList(UUID().uuidString())),
                                    record(bookmark, PropertyList(int64_t(7))),
                                    record(bookmark, PropertyList(good.uuidString())),
                                })
                    .ok());

    ApplicationsDestinationManager manager(userDefaults);
    auto destinations = manager.destinations();
    ASSERT_EQ(destinations.size(), 1u);
    EXPECT_EQ(destinations.front()->uuid(), good);
    auto url = destinations.front()->url();
    ASSERT_TRUE(url.ok());
    EXPECT_EQ(url->path(), root / "Applications");
}
