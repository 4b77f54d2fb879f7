#include "Tavik/configuration/InitialSetup.hpp"
#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"

#include <fstream>

using namespace tavik;
using tavik::testing::ConfigurationTest;
namespace fs = std::filesystem;

namespace {

class InitialSetupTest : public ConfigurationTest {
protected:
    void SetUp() override
    {
        ConfigurationTest::SetUp();
        configurations = FileSourceConfigurationsManager::make(userDefaults);
        destinations = std::make_shared<ApplicationsDestinationManager>(userDefaults);
        setup.emplace(userDefaults, configurations, destinations);
    }

    std::vector<FileSourceConfigurationPtr> folderSources() const
    {
        std::vector<FileSourceConfigurationPtr> folders;
        for (auto& configuration : configurations->fileSourceConfigurations()) {
            if (configuration->fileSource() == FileSource::directory)
                folders.push_back(configuration);
        }
        return folders;
    }

    std::shared_ptr<FileSourceConfigurationsManager> configurations;
    std::shared_ptr<ApplicationsDestinationManager> destinations;
    std::optional<InitialSetup> setup;
};

} // namespace

TEST_F(InitialSetupTest, FirstRunGivesTheIconsTheDestinationAndWatchesTheFolder)
{
    auto applications = makeFolder("Applications");
    auto downloads = makeFolder("Downloads");

    auto destination = setup->destinationChosen(URL::fileURL(applications));
    ASSERT_TRUE(destination.ok()) << destination.error()->description();
    auto uuid = (*destination)->uuid();
    EXPECT_EQ(setup->introApplicationDestination().currentValue(), uuid);
    EXPECT_EQ(stored("Intro_applicationDestination"), plist::PropertyList(uuid.uuidString()));
    auto icons = configurations->fileSourceConfigurations();
    ASSERT_EQ(icons.size(), 2u);
    for (auto& icon : icons)
        EXPECT_EQ(icon->destinationBookmarkUUID().currentValue(), uuid) << icon->id();

    auto watched = setup->watchFolderChosen(URL::fileURL(downloads));
    ASSERT_TRUE(watched.ok()) << watched.error()->description();
    ASSERT_EQ(folderSources().size(), 1u);
    EXPECT_EQ(folderSources()[0], *watched);
    EXPECT_EQ((*watched)->watchDirectoryURL()->path(), downloads);
    EXPECT_EQ((*watched)->destinationBookmarkUUID().currentValue(), uuid);
    configurations->updateConfigurationErrors(*destinations);
    for (auto& configuration : configurations->fileSourceConfigurations())
        EXPECT_EQ(configuration->status(), FileSourceConfiguration::Status::available) << configuration->id();

    EXPECT_FALSE(setup->hasRunInitialSetup().currentValue());
    ASSERT_TRUE(setup->finish().ok());
    EXPECT_TRUE(setup->hasRunInitialSetup().currentValue());
    EXPECT_EQ(stored("hasRunInitialSetup"), plist::PropertyList(true));
    EXPECT_FALSE(stored("Intro_applicationDestination"));
}

TEST_F(InitialSetupTest, SourcesThatHaveADestinationKeepIt)
{
    auto previous = destinations->destination(URL::fileURL(makeFolder("Previous")));
    ASSERT_TRUE(previous.ok());
    auto appIcon = configurations->fileSourceConfigurations()[0];
    ASSERT_TRUE(appIcon->destinationBookmarkUUID().store((*previous)->uuid()).ok());

    auto chosen = setup->destinationChosen(URL::fileURL(makeFolder("Applications")));
    ASSERT_TRUE(chosen.ok());
    EXPECT_EQ(appIcon->destinationBookmarkUUID().currentValue(), (*previous)->uuid());
    EXPECT_EQ(configurations->fileSourceConfigurations()[1]->destinationBookmarkUUID().currentValue(), (*chosen)->uuid());
}

TEST_F(InitialSetupTest, AFolderAlreadyWatchedAlsoThroughASymbolicLinkGetsTheDestinationAndNoSecondSource)
{
    auto downloads = makeFolder("Downloads");
    fs::create_directory_symlink(downloads, root / "LinkToDownloads");
    auto existing = configurations->addFolder(URL::fileURL(downloads), std::nullopt);
    ASSERT_TRUE(existing.ok());
    auto destination = setup->destinationChosen(URL::fileURL(makeFolder("Applications")));
    ASSERT_TRUE(destination.ok());
    // Sources without a destination got it already; take it away to see the
    // watch step give it.
    ASSERT_TRUE((*existing)->destinationBookmarkUUID().store(std::nullopt).ok());

    auto watched = setup->watchFolderChosen(URL::fileURL(root / "LinkToDownloads"));
    ASSERT_TRUE(watched.ok()) << watched.error()->description();
    EXPECT_EQ(*watched, *existing);
    EXPECT_EQ(folderSources().size(), 1u);
    EXPECT_EQ((*existing)->destinationBookmarkUUID().currentValue(), (*destination)->uuid());

    // Chosen again directly: still one source.
    ASSERT_TRUE(setup->watchFolderChosen(URL::fileURL(downloads)).ok());
    EXPECT_EQ(folderSources().size(), 1u);
}

TEST_F(InitialSetupTest, AFileOrAMissingFolderIsRefusedAndChangesNothing)
{
    std::ofstream(root / "Example.dmg") << "not a folder";
    auto before = userDefaults->dictionaryRepresentation();

    auto destination = setup->destinationChosen(URL::fileURL(root / "Example.dmg"));
    ASSERT_FALSE(destination.ok());
    auto* error = dynamic_cast<const InitialSetup::Error*>(destination.error().get());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->path(), (root / "Example.dmg").string());
    EXPECT_FALSE(setup->watchFolderChosen(URL::fileURL(root / "Missing")).ok());

    EXPECT_EQ(userDefaults->dictionaryRepresentation(), before);
    EXPECT_TRUE(destinations->destinations().empty());
    EXPECT_TRUE(folderSources().empty());
}
