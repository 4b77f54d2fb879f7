#include "Tavik/configuration/AppPreferences.hpp"
#include "Tavik/configuration/InitialSetup.hpp"
#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"

using namespace tavik;
using tavik::testing::ConfigHome;
using Option = ApplicationDockIconMenuBarOption;
namespace fs = std::filesystem;

namespace {

class InitialSetupTest : public tavik::testing::SourcesTest {
protected:
    void SetUp() override
    {
        SourcesTest::SetUp();
        setup.emplace(userDefaults, sources, destinations);
    }

    std::vector<FileSourceConfigurationPtr> folderSources() const
    {
        auto all = sources->fileSourceConfigurations();
        std::erase_if(all, [](const auto& configuration) { return configuration->fileSource() != FileSource::directory; });
        return all;
    }

    std::optional<InitialSetup> setup;
};

} // namespace

TEST_F(InitialSetupTest, TheDestinationGoesToSourcesWithoutOneAndTheWatchedFolderGetsItToo)
{
    // The dock icon has a destination of its own already: it keeps it.
    auto previous = destinations->destination(URL::fileURL(makeFolder("Previous"))).value();
    auto icons = sources->fileSourceConfigurations();
    ASSERT_TRUE(icons[0]->destinationBookmarkUUID().store(previous->uuid()).ok());

    auto refused = setup->destinationChosen(URL::fileURL(root / "Missing"));
    EXPECT_EQ(refused.ok() ? "" : dynamic_cast<const InitialSetup::Error&>(*refused.error()).path(), (root / "Missing").string());
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
    sources->updateConfigurationErrors(*destinations);
    for (auto& configuration : sources->fileSourceConfigurations())
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
    auto existing = sources->addFolder(URL::fileURL(downloads), std::nullopt).value();
    auto destination = setup->destinationChosen(URL::fileURL(makeFolder("Applications"))).value();
    // Sources without a destination got it already; take it away to see the
    // watch step give it.
    ASSERT_TRUE(existing->destinationBookmarkUUID().store(std::nullopt).ok());

    EXPECT_EQ(setup->watchFolderChosen(URL::fileURL(root / "LinkToDownloads")).value(), existing);
    EXPECT_EQ(existing->destinationBookmarkUUID().currentValue(), destination->uuid());
    ASSERT_TRUE(setup->watchFolderChosen(URL::fileURL(downloads)).ok());
    EXPECT_EQ(folderSources().size(), 1u);
}

// These use the standard store, which lives in the scratch XDG_CONFIG_HOME.
TEST(AppPreferencesTest, DefaultsAreNotWrittenAndValuesAreStoredByTheirRawNames)
{
    ConfigHome::folder();
    auto standard = defaults::UserDefaults::standard();
    EXPECT_EQ(standard->filePath(), ConfigHome::folder() / "tavik" / "app.tavik.Tavik.plist");
    EXPECT_FALSE(AppPreferences::hasRunInitialSetup().currentValue());
    EXPECT_EQ(AppPreferences::applicationDockIconMenuBarOption().currentValue(), Option::menuBarOnly);
    EXPECT_FALSE(standard->object("hasRunInitialSetup")) << "reading wrote nothing";
    EXPECT_FALSE(standard->object("applicationDockIconMenuBarOption"));

    ASSERT_TRUE(AppPreferences::hasRunInitialSetup().store(true).ok());
    for (auto [option, raw] : std::vector<std::pair<Option, std::string>> {{Option::menuBarOnly, "MenuBarOnly"}, {Option::dockOnly, "DockOnly"}, {Option::dockAndMenuBar, "DockAndMenuBar"}}) {
        ASSERT_TRUE(AppPreferences::applicationDockIconMenuBarOption().store(option).ok());
        EXPECT_EQ(standard->object("applicationDockIconMenuBarOption"), plist::PropertyList(raw));
        EXPECT_EQ(nlohmann::json(option), raw);
        EXPECT_EQ(nlohmann::json(raw).get<Option>(), option);
    }
    EXPECT_EQ(standard->object("hasRunInitialSetup"), plist::PropertyList(true));
    EXPECT_THROW(nlohmann::json("Dock").get<Option>(), nlohmann::json::exception);

    // A value another version wrote that names no case reads as the default.
    ASSERT_TRUE(standard->set("applicationDockIconMenuBarOption", plist::PropertyList("menuBarOnly")).ok());
    EXPECT_EQ(AppPreferences::applicationDockIconMenuBarOption().currentValue(), Option::menuBarOnly);
    auto fetched = AppPreferences::applicationDockIconMenuBarOption().fetchOrDefault();
    ASSERT_FALSE(fetched.ok());
    EXPECT_EQ(fetched.error()->description(), "menuBarOnly is not a valid value for ApplicationDockIconMenuBarOption");
    ASSERT_TRUE(standard->removeObject("hasRunInitialSetup").ok());
    ASSERT_TRUE(standard->removeObject("applicationDockIconMenuBarOption").ok());
}
