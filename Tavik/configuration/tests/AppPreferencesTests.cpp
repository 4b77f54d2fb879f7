#include "Tavik/configuration/AppPreferences.hpp"
#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"

using namespace tavik;
using tavik::testing::ConfigHome;

// These use the standard store, which lives in the temporary XDG_CONFIG_HOME.
TEST(AppPreferencesTest, DefaultsStoredFormAndUnreadableValues)
{
    ConfigHome::folder();
    auto standard = defaults::UserDefaults::standard();
    EXPECT_EQ(standard->filePath(), ConfigHome::folder() / "tavik" / "app.tavik.Tavik.plist");

    EXPECT_FALSE(AppPreferences::hasRunInitialSetup().currentValue());
    EXPECT_EQ(AppPreferences::applicationDockIconMenuBarOption().currentValue(), ApplicationDockIconMenuBarOption::menuBarOnly);
    // Reading wrote nothing.
    EXPECT_FALSE(standard->object("hasRunInitialSetup"));
    EXPECT_FALSE(standard->object("applicationDockIconMenuBarOption"));

    ASSERT_TRUE(AppPreferences::hasRunInitialSetup().store(true).ok());
    ASSERT_TRUE(AppPreferences::applicationDockIconMenuBarOption().store(ApplicationDockIconMenuBarOption::dockAndMenuBar).ok());
    EXPECT_EQ(standard->object("hasRunInitialSetup"), plist::PropertyList(true));
    EXPECT_EQ(standard->object("applicationDockIconMenuBarOption"), plist::PropertyList("DockAndMenuBar"));
    EXPECT_TRUE(AppPreferences::hasRunInitialSetup().currentValue());

    // A value another version wrote that names no case reads as the default.
    ASSERT_TRUE(standard->set("applicationDockIconMenuBarOption", plist::PropertyList("menuBarOnly")).ok());
    EXPECT_EQ(AppPreferences::applicationDockIconMenuBarOption().currentValue(), ApplicationDockIconMenuBarOption::menuBarOnly);
    auto fetched = AppPreferences::applicationDockIconMenuBarOption().fetchOrDefault();
    ASSERT_FALSE(fetched.ok());
    EXPECT_EQ(fetched.error()->description(), "menuBarOnly is not a valid value for ApplicationDockIconMenuBarOption");

    ASSERT_TRUE(standard->removeObject("hasRunInitialSetup").ok());
    ASSERT_TRUE(standard->removeObject("applicationDockIconMenuBarOption").ok());
}

TEST(AppPreferencesTest, DockOptionCodesAsItsRawString)
{
    nlohmann::json json = ApplicationDockIconMenuBarOption(ApplicationDockIconMenuBarOption::dockOnly);
    EXPECT_EQ(json, "DockOnly");
    EXPECT_EQ(nlohmann::json("DockAndMenuBar").get<ApplicationDockIconMenuBarOption>(),
        ApplicationDockIconMenuBarOption::dockAndMenuBar);
    EXPECT_THROW(nlohmann::json("Dock").get<ApplicationDockIconMenuBarOption>(), nlohmann::json::exception);
}

TEST(SharedManagersTest, AreMadeOnceOverTheStandardStore)
{
    ConfigHome::folder();
    auto& manager = FileSourceConfigurationsManager::shared();
    EXPECT_EQ(manager, FileSourceConfigurationsManager::shared());
    ASSERT_EQ(manager->fileSourceConfigurations().size(), 2u);
    auto stored = defaults::UserDefaults::standard()->object("FileSourceConfigurations");
    ASSERT_TRUE(stored && stored->array());
    EXPECT_EQ(stored->array()->size(), 2u);

    auto& destinations = ApplicationsDestinationManager::shared();
    EXPECT_EQ(destinations, ApplicationsDestinationManager::shared());
    manager->updateConfigurationErrors(*destinations);
    EXPECT_EQ(manager->fileSourceConfigurations()[0]->status(), FileSourceConfiguration::Status::unavailable);
}
