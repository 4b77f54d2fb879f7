#include "Tavik/configuration/InitialSetup.hpp"
#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"

using namespace tavik;
namespace fs = std::filesystem;

namespace {

class InitialSetupTest : public tavik::testing::ConfigurationTest {
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
        auto all = configurations->fileSourceConfigurations();
        std::erase_if(all, [](const auto& configuration) { return configuration->fileSource() != FileSource::directory; });
        return all;
    }

    std::shared_ptr<FileSourceConfigurationsManager> configurations;
    std::shared_ptr<ApplicationsDestinationManager> destinations;
    std::optional<InitialSetup> setup;
};

} // namespace

TEST_F(InitialSetupTest, TheDestinationGoesToSourcesWithoutOneAndTheWatchedFolderGetsItToo)
{
    // The dock icon has a destination of its own already: it keeps it.
    auto previous = destinations->destination(URL::fileURL(makeFolder("Previous"))).value();
    auto icons = configurations->fileSourceConfigurations();
    ASSERT_TRUE(icons[0]->destinationBookmarkUUID().store(previous->uuid()).ok());

    auto uuid = setup->destinationChosen(URL::fileURL(makeFolder("Applications"))).value()->uuid();
    EXPECT_EQ(setup->introApplicationDestination().currentValue(), uuid);
    EXPECT_EQ(stored("Intro_applicationDestination"), plist::PropertyList(uuid.uuidString()));
    EXPECT_EQ(icons[0]->destinationBookmarkUUID().currentValue(), previous->uuid());
    EXPECT_EQ(icons[1]->destinationBookmarkUUID().currentValue(), uuid);

    auto downloads = makeFolder("Downloads");
    auto watched = setup->watchFolderChosen(URL::fileURL(downloads)).value();
    EXPECT_EQ(folderSources(), std::vector {watched});
    EXPECT_EQ(watched->watchDirectoryURL()->path(), downloads);
    EXPECT_EQ(watched->destinationBookmarkUUID().currentValue(), uuid);
    configurations->updateConfigurationErrors(*destinations);
    for (auto& configuration : configurations->fileSourceConfigurations())
        EXPECT_EQ(configuration->status(), FileSourceConfiguration::Status::available) << configuration->id();

    EXPECT_FALSE(setup->hasRunInitialSetup().currentValue());
    ASSERT_TRUE(setup->finish().ok());
    EXPECT_TRUE(setup->hasRunInitialSetup().currentValue());
    EXPECT_EQ(stored("hasRunInitialSetup"), plist::PropertyList(true));
    EXPECT_FALSE(stored("Intro_applicationDestination"));
}

TEST_F(InitialSetupTest, AFolderAlreadyWatchedAlsoThroughASymbolicLinkGetsTheDestinationAndNoSecondSource)
{
    auto downloads = makeFolder("Downloads");
    fs::create_directory_symlink(downloads, root / "LinkToDownloads");
    auto existing = configurations->addFolder(URL::fileURL(downloads), std::nullopt).value();
    auto destination = setup->destinationChosen(URL::fileURL(makeFolder("Applications"))).value();
    // Sources without a destination got it already; take it away to see the
    // watch step give it.
    ASSERT_TRUE(existing->destinationBookmarkUUID().store(std::nullopt).ok());

    EXPECT_EQ(setup->watchFolderChosen(URL::fileURL(root / "LinkToDownloads")).value(), existing);
    EXPECT_EQ(existing->destinationBookmarkUUID().currentValue(), destination->uuid());
    ASSERT_TRUE(setup->watchFolderChosen(URL::fileURL(downloads)).ok());
    EXPECT_EQ(folderSources().size(), 1u);
}

TEST_F(InitialSetupTest, AFileOrAMissingFolderIsRefusedAndChangesNothing)
{
    std::ofstream(root / "Example.dmg") << "not a folder";
    auto before = userDefaults->dictionaryRepresentation();
    auto destination = setup->destinationChosen(URL::fileURL(root / "Example.dmg"));
    auto* error = destination.ok() ? nullptr : dynamic_cast<const InitialSetup::Error*>(destination.error().get());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->path(), (root / "Example.dmg").string());
    EXPECT_FALSE(setup->watchFolderChosen(URL::fileURL(root / "Missing")).ok());
    EXPECT_EQ(userDefaults->dictionaryRepresentation(), before);
    EXPECT_TRUE(destinations->destinations().empty());
    EXPECT_TRUE(folderSources().empty());
}
