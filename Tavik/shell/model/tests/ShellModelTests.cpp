// What the windows and the tray icon show, over real configuration files.

#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "Tavik/shell/model/FileSourcesSelection.hpp"
#include "Tavik/shell/model/LaunchWindow.hpp"
#include "Tavik/shell/model/StatusMenu.hpp"
#include "platform/testing/Files.hpp"

using namespace tavik;
using namespace tavik::shell;
using Option = ApplicationDockIconMenuBarOption;
using Strings = std::vector<std::string>;

namespace {

TEST(LaunchWindowTest, TheFirstWindowFollowsSetupLauncherAndArguments)
{
    const struct {
        bool hasRunInitialSetup, launchedByLauncher;
        Strings arguments;
        LaunchWindow expected;
    } cases[] = {
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
    for (const auto& c : cases)
        EXPECT_EQ(windowAtLaunch(c.hasRunInitialSetup, c.launchedByLauncher, c.arguments), c.expected)
            << "setup " << c.hasRunInitialSetup << ", launcher " << c.launchedByLauncher << ", " << ::testing::PrintToString(c.arguments);
}

// Without a tray icon or a window, only the launcher entry leads back in.
TEST(LaunchWindowTest, TheOptionDecidesTheTaskbarEntryTheTrayIconAndTheNeedForALauncherEntry)
{
    const struct {
        Option option;
        bool windowOpen, hasRunInitialSetup;
        ActivationPolicy policy;
        bool statusItem;
        bool needsLauncherEntry, needsLauncherEntryWithoutTray;
    } cases[] = {
        {Option::menuBarOnly, false, true, ActivationPolicy::accessory, true, false, true},
        {Option::menuBarOnly, true, true, ActivationPolicy::regular, true, false, false},
        {Option::menuBarOnly, true, false, ActivationPolicy::regular, false, false, false}, // first run: no tray icon
        {Option::dockOnly, false, true, ActivationPolicy::regular, false, true, true},
        {Option::dockOnly, true, true, ActivationPolicy::regular, false, false, false},
        {Option::dockAndMenuBar, false, true, ActivationPolicy::regular, true, false, true},
        {Option::dockAndMenuBar, false, false, ActivationPolicy::regular, false, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.option.rawValue() << " window " << c.windowOpen << " setup " << c.hasRunInitialSetup);
        auto presence = iconPresence(c.option, c.windowOpen, c.hasRunInitialSetup);
        EXPECT_EQ(presence.activationPolicy, c.policy);
        EXPECT_EQ(presence.statusItem, c.statusItem);
        EXPECT_EQ(needsLauncherEntryToReopen(presence, true, c.windowOpen), c.needsLauncherEntry);
        EXPECT_EQ(needsLauncherEntryToReopen(presence, false, c.windowOpen), c.needsLauncherEntryWithoutTray);
    }
}

using ShellModelTest = tavik::testing::SourcesTest;

TEST_F(ShellModelTest, TheTrayMenuListsWatchedFoldersBeforeTheCommands)
{
    auto describe = [](const std::vector<StatusMenuItem>& items) {
        Strings described;
        for (const auto& item : items)
            described.push_back(item.kind == StatusMenuItem::Kind::separator ? "-" : item.title + (item.enabled ? "" : " (off)") + (item.keyEquivalent.empty() ? "" : " ^" + item.keyEquivalent));
        return described;
    };
    EXPECT_EQ(describe(statusMenuItems(sources->fileSourceConfigurations())), (Strings {"Open Main Window...", "Preferences... ^,", "-", "Quit Tavik ^q"})) << "the two icon sources are not listed";
    auto downloads = addFolder("Downloads");
    auto other = addFolder("Other");
    auto items = statusMenuItems(sources->fileSourceConfigurations());
    EXPECT_EQ(describe(items), (Strings {(root / "Downloads").string() + " (off)", (root / "Other").string() + " (off)", "-", "Open Main Window...", "Preferences... ^,", "-", "Quit Tavik ^q"}));
    EXPECT_EQ(items[0].configuration, downloads);
    EXPECT_EQ(items[1].configuration, other);
}

TEST_F(ShellModelTest, TheSelectionDecidesRemovalOverlayAndEditedSource)
{
    auto appIcon = sources->fileSourceConfigurations()[0];
    auto statusBar = sources->fileSourceConfigurations()[1];
    auto folder = addFolder("Downloads");
    const struct {
        Configurations selection;
        bool removeEnabled;
        std::optional<std::string> overlayText;
        FileSourceConfigurationPtr editing;
    } cases[] = {
        {{}, false, "No File Source Selected", nullptr},
        {{appIcon}, false, std::nullopt, appIcon}, // the dock-icon source cannot be removed
        {{appIcon, statusBar}, false, "Multiple File Sources Selected", nullptr},
        {{folder, appIcon}, true, "Multiple File Sources Selected", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.selection.size());
        auto state = selectionState(c.selection);
        EXPECT_EQ(state.removeEnabled, c.removeEnabled);
        EXPECT_EQ(state.overlayText, c.overlayText);
        EXPECT_EQ(state.editing, c.editing);
    }
    EXPECT_EQ(removableSources({appIcon, folder, statusBar}), (Configurations {folder}));

    // Confirmations name the folder, or the count.
    auto one = removalConfirmation({folder});
    EXPECT_EQ(one.messageText, "Remove " + (root / "Downloads").string() + "?");
    EXPECT_EQ(one.buttons, (Strings {"Remove", "Cancel"}));
    EXPECT_EQ(removalConfirmation({folder, appIcon}).messageText, "Remove 2 file sources?");
    EXPECT_TRUE(watchApplicationsFolderConfirmation("/home/u/Applications").informativeText.starts_with("/home/u/Applications is "));
    EXPECT_TRUE(nonApplicationsDestinationConfirmation("/srv/x").informativeText.starts_with("/srv/x is not "));
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

TEST_F(ShellModelTest, ErrorsBecomeOneToolTipLineEachAndADragIsTakenWhenOneFileIsADownload)
{
    using Error = FileSourceConfiguration::ConfigurationError;
    using OptionKind = FileSourceConfiguration::ConfigurationOption;
    EXPECT_FALSE(configurationErrorsToolTip(std::nullopt));
    EXPECT_FALSE(configurationErrorsToolTip(std::vector<Error> {}));
    EXPECT_EQ(configurationErrorsToolTip(std::vector<Error> {Error(OptionKind::destinationDirectory, "No destination", std::nullopt), Error(OptionKind::global, "Folder missing", std::nullopt)}), "No destination\nFolder missing");

    tavik::testing::writeFile(root / "notes.txt", "text");
    tavik::testing::writeFile(root / "Example.zip", "PK");
    EXPECT_FALSE(canHandleDrag({URL::fileURL(root / "notes.txt")}));
    EXPECT_TRUE(canHandleDrag({URL::fileURL(root / "notes.txt"), URL::fileURL(root / "Example.zip")}));
    EXPECT_FALSE(canHandleDrag({}));
}

} // namespace
