// The preference panes' logic against a real autostart folder and real user
// defaults in a scratch XDG_CONFIG_HOME.

#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "Tavik/preferences/GeneralPreferences.hpp"
#include "Tavik/preferences/UpdatesPreferences.hpp"
#include "persistence/Transformers.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/testing/Files.hpp"

#include <ctime>

using namespace tavik;
using Option = ApplicationDockIconMenuBarOption;
namespace fs = std::filesystem;

namespace {

class PreferencesTest : public tavik::testing::ConfigurationTest {
protected:
    persistence::Persister<Option> optionSetting() const
    {
        return persistence::Persister<Option>("applicationDockIconMenuBarOption", userDefaults,
            persistence::TransformerPtr<Option, std::string>(std::make_shared<persistence::RawRepresentableTransformer<Option>>()), Option(Option::menuBarOnly));
    }
    GeneralPreferences general()
    {
        auto launcher = makeFolder("libexec/tavik") / "tavik-launcher";
        tavik::testing::writeFile(launcher, "#!/bin/sh\n");
        fs::permissions(launcher, fs::perms::owner_all);
        return GeneralPreferences(optionSetting(), LoginItem("app.tavik.TavikLauncher", "Tavik Launcher", launcher, root / "autostart"));
    }
    fs::path entry() const { return root / "autostart/app.tavik.TavikLauncher.desktop"; }
};

TEST_F(PreferencesTest, LaunchAtLoginTurnsTheLauncherEntryOnAndOffOrStaysAsItWas)
{
    EXPECT_NE(GeneralPreferences::launcherLoginItem("/opt/tavik/bin/tavik").entryText().find("Exec=\"/opt/tavik/libexec/tavik/tavik-launcher\""), std::string::npos);
    auto preferences = general();
    EXPECT_FALSE(preferences.isLaunchAtLoginEnabled());
    log::LogCapture logs;
    EXPECT_TRUE(preferences.launchAtLoginButtonStateChanged());
    EXPECT_TRUE(fs::exists(entry()));
    EXPECT_FALSE(preferences.launchAtLoginButtonStateChanged());
    EXPECT_FALSE(fs::exists(entry()));
    EXPECT_TRUE(logs.contains(log::Level::defaultLevel, "Launcher has been enabled as a login item"));
    EXPECT_TRUE(logs.contains(log::Level::defaultLevel, "Launcher has been disabled as a login item"));
    EXPECT_EQ(logs.entries("General Preferences").size(), 2u);

    // An entry that cannot be written (the login item's tests have every way): still off.
    fs::remove_all(root / "autostart");
    tavik::testing::writeFile(root / "autostart", "a file where the folder belongs");
    EXPECT_FALSE(preferences.launchAtLoginButtonStateChanged());
    EXPECT_EQ(logs.count("Failed to enable launcher as a login item"), 1u);
}

TEST_F(PreferencesTest, ThePopUpListsTheThreeChoicesAndFollowsChangesMadeElsewhere)
{
    auto preferences = general();
    std::vector<DockIconMenuBarPopUp> shown;
    auto subscription = preferences.observeDockIconMenuBarPopUp([&](const DockIconMenuBarPopUp& popUp) { shown.push_back(popUp); });
    ASSERT_EQ(shown.size(), 1u);
    ASSERT_EQ(shown[0].items.size(), 3u);
    EXPECT_EQ(shown[0].items[0].title, "Menu Bar Icon Only");
    EXPECT_EQ(shown[0].items[2].rawValue, "DockAndMenuBar");
    EXPECT_EQ(shown[0].selectedIndex, 0u);
    ASSERT_TRUE(optionSetting().store(Option::dockAndMenuBar)) << "a change made elsewhere";
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].selectedIndex, 2u);

    preferences.chooseApplicationDockIconMenuBarOption("DockOnly");
    preferences.chooseApplicationDockIconMenuBarOption("Nowhere");
    EXPECT_EQ(optionSetting().currentValue(), Option::dockOnly);
    EXPECT_EQ(shown.back().selectedIndex, 1u);
}

TEST_F(PreferencesTest, UpdateCheckBoxesDriveTheUpdaterAndAMixedStateChangesNothing)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(UpdatesPreferences::lastCheckText(std::chrono::system_clock::from_time_t(1796607638)), "Last check: Dec 7, 2026 at 1:40:38 AM");
    EXPECT_EQ(UpdatesPreferences::lastCheckText(std::chrono::system_clock::from_time_t(1798718400)), "Last check: Dec 31, 2026 at 12:00:00 PM");

    auto updater = updater::Updater::make({"1.0", "https://tavik.app/appcast.xml", userDefaults, dispatch::DispatchQueue::makeSerial("test")}, nullptr, {});
    std::vector<std::string> printed;
    UpdatesPreferences preferences(updater, [&](std::string_view line) { printed.emplace_back(line); });
    std::vector<UpdatesPaneState> shown;
    auto subscriptions = preferences.observe([&](const UpdatesPaneState& state) { shown.push_back(state); });
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), (UpdatesPaneState {false, false, false, "Last check: Never"}));
    preferences.automaticallyChecksCheckboxChanged(CheckboxState::on);
    EXPECT_EQ(shown.back(), (UpdatesPaneState {true, false, true, "Last check: Never"}));
    preferences.automaticallyDownloadsCheckboxChanged(CheckboxState::on);
    EXPECT_TRUE(updater->automaticallyDownloadsUpdates());
    preferences.automaticallyChecksCheckboxChanged(CheckboxState::off);
    EXPECT_EQ(shown.back(), (UpdatesPaneState {false, true, false, "Last check: Never"})) << "downloads stay set but cannot be changed";

    auto count = shown.size();
    preferences.automaticallyChecksCheckboxChanged(CheckboxState::mixed);
    EXPECT_EQ(printed, (std::vector<std::string> {"Unknown checkbox state: -1"}));
    EXPECT_EQ(shown.size(), count);
    EXPECT_FALSE(updater->automaticallyChecksForUpdates());
}

} // namespace
