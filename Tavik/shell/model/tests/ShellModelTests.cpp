// What the windows and the tray icon show, over real configuration files.

#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "Tavik/shell/model/FileSourcesSelection.hpp"
#include "Tavik/shell/model/LaunchWindow.hpp"
#include "Tavik/shell/model/StatusMenu.hpp"

#include <fstream>

using namespace tavik;
using namespace tavik::shell;

namespace {

using Option = ApplicationDockIconMenuBarOption;

struct LaunchCase {
    bool hasRunInitialSetup;
    bool launchedByLauncher;
    std::vector<std::string> arguments;
    LaunchWindow expected;
};

TEST(LaunchWindowTest, TheFirstWindowFollowsSetupLauncherAndArguments)
{
    const LaunchCase cases[] = {
        {false, false, {}, LaunchWindow::intro},
        {false, true, {}, LaunchWindow::intro}, // the setup comes first, whoever started us
        {false, false, {"--showPreferences"}, LaunchWindow::intro},
        {true, true, {}, LaunchWindow::none},
        {true, true, {"--showPreferences"}, LaunchWindow::none},
        {true, false, {"--showPreferences"}, LaunchWindow::preferences},
        {true, false, {"--showIntro"}, LaunchWindow::intro},
        {true, false, {"--showPreferences", "--showIntro"}, LaunchWindow::preferences},
        {true, false, {"--other"}, LaunchWindow::fileSources},
        {true, false, {}, LaunchWindow::fileSources},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(windowAtLaunch(c.hasRunInitialSetup, c.launchedByLauncher, c.arguments), c.expected)
            << "setup " << c.hasRunInitialSetup << ", launcher " << c.launchedByLauncher << ", "
            << c.arguments.size() << " arguments";
    }
}

struct PresenceCase {
    Option option;
    bool windowOpen;
    bool hasRunInitialSetup;
    ActivationPolicy policy;
    bool statusItem;
};

TEST(LaunchWindowTest, TheOptionDecidesTheTaskbarEntryAndTheTrayIcon)
{
    const PresenceCase cases[] = {
        {Option::menuBarOnly, false, true, ActivationPolicy::accessory, true},
        {Option::menuBarOnly, true, true, ActivationPolicy::regular, true},
        {Option::menuBarOnly, true, false, ActivationPolicy::regular, false}, // first run: no tray icon
        {Option::dockOnly, false, true, ActivationPolicy::regular, false},
        {Option::dockOnly, true, true, ActivationPolicy::regular, false},
        {Option::dockAndMenuBar, false, true, ActivationPolicy::regular, true},
        {Option::dockAndMenuBar, false, false, ActivationPolicy::regular, false},
    };
    for (const auto& c : cases) {
        auto presence = iconPresence(c.option, c.windowOpen, c.hasRunInitialSetup);
        EXPECT_EQ(presence.activationPolicy, c.policy) << c.option.rawValue() << " window " << c.windowOpen;
        EXPECT_EQ(presence.statusItem, c.statusItem) << c.option.rawValue() << " setup " << c.hasRunInitialSetup;
    }
}

TEST(LaunchWindowTest, WithoutATrayOrAWindowOnlyTheLauncherEntryLeadsBackIn)
{
    auto menuBarOnly = iconPresence(Option::menuBarOnly, false, true);
    EXPECT_FALSE(needsLauncherEntryToReopen(menuBarOnly, /*trayAvailable=*/true, false));
    EXPECT_TRUE(needsLauncherEntryToReopen(menuBarOnly, /*trayAvailable=*/false, false));
    EXPECT_FALSE(needsLauncherEntryToReopen(iconPresence(Option::menuBarOnly, true, true), false, true));
    EXPECT_TRUE(needsLauncherEntryToReopen(iconPresence(Option::dockOnly, false, true), true, false));
}

class ShellModelTest : public tavik::testing::ConfigurationTest {
protected:
    void SetUp() override
    {
        ConfigurationTest::SetUp();
        manager = FileSourceConfigurationsManager::make(userDefaults);
        destinations = std::make_shared<ApplicationsDestinationManager>(userDefaults);
    }

    FileSourceConfigurationPtr addFolder(const std::string& name)
    {
        return manager->addFolder(URL::fileURL(makeFolder(name), true), std::nullopt).value();
    }

    FileSourceConfigurationPtr source(FileSource kind)
    {
        for (const auto& configuration : manager->fileSourceConfigurations()) {
            if (configuration->fileSource() == kind)
                return configuration;
        }
        return nullptr;
    }

    static std::vector<std::string> titles(const std::vector<StatusMenuItem>& items)
    {
        std::vector<std::string> result;
        for (const auto& item : items)
            result.push_back(item.kind == StatusMenuItem::Kind::separator ? "-" : item.title);
        return result;
    }

    std::shared_ptr<FileSourceConfigurationsManager> manager;
    std::shared_ptr<ApplicationsDestinationManager> destinations;
};

TEST_F(ShellModelTest, TheTrayMenuListsWatchedFoldersBeforeTheCommands)
{
    auto items = statusMenuItems(manager->fileSourceConfigurations());
    EXPECT_EQ(titles(items), (std::vector<std::string> {"Open Main Window...", "Preferences...", "-", "Quit Tavik"}))
        << "the two icon sources are not listed";
    EXPECT_EQ(items[1].keyEquivalent, ",");
    EXPECT_EQ(items[3].keyEquivalent, "q");

    auto downloads = addFolder("Downloads");
    auto other = addFolder("Other");
    items = statusMenuItems(manager->fileSourceConfigurations());
    EXPECT_EQ(titles(items),
        (std::vector<std::string> {downloads->displayName().currentValue(), other->displayName().currentValue(), "-",
            "Open Main Window...", "Preferences...", "-", "Quit Tavik"}));
    EXPECT_FALSE(items[0].enabled);
    EXPECT_FALSE(items[1].enabled);
    EXPECT_EQ(items[0].configuration, downloads);
    EXPECT_EQ(items[1].configuration, other);
    EXPECT_TRUE(items[3].enabled);
}

TEST_F(ShellModelTest, TheSelectionDecidesRemovalOverlayAndEditedSource)
{
    auto appIcon = source(FileSource::appIcon);
    auto statusBar = source(FileSource::statusBarIcon);
    auto folder = addFolder("Downloads");

    auto none = selectionState({});
    EXPECT_FALSE(none.removeEnabled);
    EXPECT_EQ(none.overlayText, "No File Source Selected");
    EXPECT_FALSE(none.editing);

    auto dockIcon = selectionState({appIcon});
    EXPECT_FALSE(dockIcon.removeEnabled) << "the dock-icon source cannot be removed";
    EXPECT_FALSE(dockIcon.overlayText);
    EXPECT_EQ(dockIcon.editing, appIcon);

    auto icons = selectionState({appIcon, statusBar});
    EXPECT_FALSE(icons.removeEnabled);
    EXPECT_EQ(icons.overlayText, "Multiple File Sources Selected");

    auto mixed = selectionState({folder, appIcon});
    EXPECT_TRUE(mixed.removeEnabled);
    EXPECT_EQ(mixed.overlayText, "Multiple File Sources Selected");
    EXPECT_EQ(removableSources({appIcon, folder, statusBar}), (Configurations {folder}));
}

TEST_F(ShellModelTest, ConfirmationsNameTheFolderOrTheCount)
{
    auto first = addFolder("Downloads");
    auto second = addFolder("Other");
    auto one = removalConfirmation({first});
    EXPECT_EQ(one.messageText, "Remove " + (root / "Downloads").string() + "?") << "a folder's name is its path";
    EXPECT_EQ(one.buttons, (std::vector<std::string> {"Remove", "Cancel"}));
    EXPECT_EQ(removalConfirmation({first, second}).messageText, "Remove 2 file sources?");
    EXPECT_EQ(watchApplicationsFolderConfirmation("/home/u/Applications").informativeText.rfind("/home/u/Applications is ", 0), 0u);
    EXPECT_EQ(nonApplicationsDestinationConfirmation("/srv/x").informativeText.rfind("/srv/x is not ", 0), 0u);
}

TEST_F(ShellModelTest, TheDestinationPopUpSelectsTheSourcesOwnOrGivesWayToTheChooseButton)
{
    auto empty = destinationMenu(destinations->destinations(), std::nullopt);
    EXPECT_TRUE(empty.showsChooseButton);
    EXPECT_TRUE(empty.items.empty());

    ASSERT_TRUE(destinations->destination(URL::fileURL(makeFolder("Apps"), true)).ok());
    auto second = destinations->destination(URL::fileURL(makeFolder("More Apps"), true)).value();
    auto menu = destinationMenu(destinations->destinations(), second->uuid());
    EXPECT_FALSE(menu.showsChooseButton);
    ASSERT_EQ(menu.items.size(), 2u);
    EXPECT_EQ(menu.items[0].title, (root / "Apps").string());
    EXPECT_EQ(menu.items[1].uuid, second->uuid());
    EXPECT_EQ(menu.selectedIndex, 1u);
    EXPECT_FALSE(destinationMenu(destinations->destinations(), std::nullopt).selectedIndex);
}

TEST_F(ShellModelTest, ConfigurationErrorsBecomeOneToolTipLinePerError)
{
    using Error = FileSourceConfiguration::ConfigurationError;
    using OptionKind = FileSourceConfiguration::ConfigurationOption;
    EXPECT_FALSE(configurationErrorsToolTip(std::nullopt));
    EXPECT_FALSE(configurationErrorsToolTip(std::vector<Error> {}));
    EXPECT_EQ(configurationErrorsToolTip(std::vector<Error> {
                  Error(OptionKind::destinationDirectory, "No destination", std::nullopt),
                  Error(OptionKind::global, "Folder missing", std::nullopt)}),
        "No destination\nFolder missing");
}

TEST_F(ShellModelTest, ADragIsTakenWhenOneFileIsAnImageArchiveOrPackage)
{
    auto text = root / "notes.txt";
    auto archive = root / "Example.zip";
    std::ofstream(text) << "text";
    std::ofstream(archive) << "PK";
    EXPECT_FALSE(canHandleDrag({URL::fileURL(text)}));
    EXPECT_TRUE(canHandleDrag({URL::fileURL(text), URL::fileURL(archive)}));
    EXPECT_FALSE(canHandleDrag({}));
}

} // namespace
