#include "Tavik/configuration/AppPreferences.hpp"
#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"

using namespace tavik;
using tavik::testing::ConfigHome;
using Option = ApplicationDockIconMenuBarOption;

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

TEST(SharedManagersTest, AreMadeOnceOverTheStandardStore)
{
    ConfigHome::folder();
    auto& manager = FileSourceConfigurationsManager::shared();
    EXPECT_EQ(manager, FileSourceConfigurationsManager::shared());
    EXPECT_EQ(defaults::UserDefaults::standard()->object("FileSourceConfigurations")->array()->size(), 2u);
    auto& destinations = ApplicationsDestinationManager::shared();
    EXPECT_EQ(destinations, ApplicationsDestinationManager::shared());
    manager->updateConfigurationErrors(*destinations);
    EXPECT_EQ(manager->fileSourceConfigurations()[0]->status(), FileSourceConfiguration::Status::unavailable);
}
