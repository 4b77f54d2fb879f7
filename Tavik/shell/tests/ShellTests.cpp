// The desktop application's Qt classes on Qt's offscreen platform, over real
// configuration files, real folders and, where a question is asked or a
// second Tavik calls, a private session bus.

#include "Tavik/application/AppDelegate.hpp"
#include "Tavik/configuration/AppPreferences.hpp"
#include "Tavik/configuration/tests/ConfigurationTestSupport.hpp"
#include "Tavik/shell/DesktopAppDelegate.hpp"
#include "Tavik/shell/FileSourceSettingsView.hpp"
#include "Tavik/shell/FileSourcesList.hpp"
#include "Tavik/shell/FileSourcesWindow.hpp"
#include "Tavik/shell/MenuBarManager.hpp"
#include "Preferences/PreferencesWindow.hpp"
#include "Tavik/intro/IntroStepProvider.hpp"
#include "Tavik/shell/IntroWindow.hpp"
#include "Tavik/shell/QtAlertPresenter.hpp"
#include "Tavik/shell/QtMainQueue.hpp"
#include "platform/dispatch/MainRunLoop.hpp"
#include "platform/notifications/FreedesktopNotificationCenter.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/Recorder.hpp"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDropEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <deque>

using namespace tavik;
using namespace tavik::shell;
using tavik::testing::writeFile;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

// Answers the windows' dialogs from a script and records the alerts asked.
class ScriptedDialogs final : public ShellDialogs {
public:
    std::optional<fs::path> chooseFolder(QWidget*, const std::string&, const std::string&, const std::optional<fs::path>& start) override
    {
        chooserStarts.push_back(start);
        auto folder = folders.empty() ? std::nullopt : folders.front();
        if (!folders.empty())
            folders.pop_front();
        return folder;
    }
    alerts::ModalResponse runAlert(QWidget*, const alerts::Alert& alert) override
    {
        alertsShown.push_back(alert.messageText);
        auto answer = answers.empty() ? alerts::modalResponseCancel : answers.front();
        if (!answers.empty())
            answers.pop_front();
        return answer;
    }

    std::deque<std::optional<fs::path>> folders;
    std::deque<alerts::ModalResponse> answers;
    std::vector<std::optional<fs::path>> chooserStarts;
    Strings alertsShown;
};

Strings menuTitles(QMenu* menu)
{
    Strings titles;
    for (auto* action : menu->actions())
        titles.push_back(action->isSeparator() ? "-" : action->text().toStdString());
    return titles;
}

std::unique_ptr<QMimeData> filesData(const std::vector<fs::path>& paths)
{
    auto data = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const auto& path : paths)
        urls.push_back(QUrl::fromLocalFile(QString::fromStdString(path.string())));
    data->setUrls(urls);
    return data;
}

// Runs `act` on the next message box that shows, once it has shown.
void onNextMessageBox(std::function<void(QMessageBox*)> act)
{
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, act = std::move(act)] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            act(box);
        }
    });
    timer->start(20);
}

// Clicks the button with this title on the next message box; records all its buttons.
void answerNextMessageBox(const QString& title, std::vector<QString>* buttonsSeen)
{
    onNextMessageBox([title, buttonsSeen](QMessageBox* box) {
        for (auto* button : box->buttons())
            buttonsSeen->push_back(button->text());
        for (auto* button : box->buttons())
            if (button->text() == title)
                return button->click();
    });
}

class ShellTest : public tavik::testing::SourcesTest {
protected:
    ApplicationsDestinationPtr destination()
    {
        return destinations->destination(URL::fileURL(makeFolder("Applications Here"), true)).value();
    }
    std::unique_ptr<FileSourcesWindow> makeWindow()
    {
        auto window = std::make_unique<FileSourcesWindow>(sources, destinations, dialogs);
        window->show();
        return window;
    }

    std::shared_ptr<ScriptedDialogs> dialogs = std::make_shared<ScriptedDialogs>();
};

TEST_F(ShellTest, TheTrayMenuListsFoldersWithTheirStatusAndFollowsTheList)
{
    MenuBarManager menuBar(sources, [](const std::vector<URL>& files) { return files; });
    EXPECT_FALSE(menuBar.menu()) << "no menu while hidden";
    menuBar.showStatusItem();
    // Adding folders while shown rebuilds the menu.
    auto downloads = addFolder("Downloads", destination()->uuid());
    auto other = addFolder("Other", destination()->uuid());
    downloads->updateConfigurationErrors(*destinations);
    other->updateConfigurationErrors(*destinations);
    ASSERT_TRUE(QTest::qWaitFor([&] { return menuBar.menu()->actions().size() == 7; }, 5000));
    QTest::qWait(300); // every published list has arrived
    EXPECT_EQ(menuTitles(menuBar.menu()), (Strings {(root / "Downloads").string(), (root / "Other").string(), "-", "Open Main Window...", "Preferences...", "-", "Quit Tavik"}));
    QPointer<QAction> folderItem = menuBar.menu()->actions().at(0);
    auto statusImage = [&] { return folderItem ? folderItem->property("statusImage").toString() : QString(); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return statusImage() == "tavik-status-available"; }, 5000));

    // The destination folder goes away: the image changes in the same menu, on the same item.
    QMenu* menuBefore = menuBar.menu();
    fs::remove_all(root / "Applications Here");
    downloads->updateConfigurationErrors(*destinations);
    EXPECT_TRUE(QTest::qWaitFor([&] { return statusImage() == "tavik-status-unavailable"; }, 5000));
    EXPECT_EQ(menuBar.menu(), menuBefore) << "the menu was not rebuilt";

    // A drop with an archive among other files is taken.
    writeFile(root / "notes.txt", "text");
    writeFile(root / "Example.zip", "PK");
    EXPECT_TRUE(menuBar.handleDrop(*filesData({root / "notes.txt", root / "Example.zip"})));
}

TEST_F(ShellTest, TheWindowShowsTheSelectionsSettingsOrAnOverlayAndRemovesOnlyFolders)
{
    auto folder = addFolder("Downloads", destination()->uuid());
    auto appIcon = sources->fileSourceConfigurations()[0];
    auto window = makeWindow();
    auto* list = window->list();
    EXPECT_EQ(window->settings()->overlayText(), "No File Source Selected");
    list->selectConfigurations({appIcon->id()});
    EXPECT_EQ(window->settings()->editingFileSourceConfiguration(), appIcon);
    EXPECT_FALSE(window->deleteFileSourceDirectoryToolbarItem()->isEnabled()) << "the dock-icon source stays";

    // Another process adds a folder: a row appears and the selection survives.
    auto added = FileSourceConfigurationsManager::make(userDefaults)->addFolder(URL::fileURL(makeFolder("Later"), true), std::nullopt).value();
    EXPECT_TRUE(QTest::qWaitFor([&] { return list->row(added->id()) != nullptr; }, 5000));
    EXPECT_EQ(list->selectedConfigurations().size(), 1u);

    // Removing asks first, and the two icon sources stay whatever is selected.
    list->selectConfigurations({folder->id(), added->id(), appIcon->id()});
    EXPECT_TRUE(window->settings()->overlayText());
    dialogs->answers = {alerts::alertSecondButtonReturn, alerts::alertFirstButtonReturn};
    window->removeSelectedFileSources(); // "Cancel"
    EXPECT_EQ(dialogs->alertsShown, Strings {"Remove 2 file sources?"});
    EXPECT_EQ(sources->fileSourceConfigurations().size(), 4u);
    window->removeSelectedFileSources(); // "Remove"
    EXPECT_EQ(sources->fileSourceConfigurations().size(), 2u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return list->group()->childCount() == 2; }, 5000));
}

TEST_F(ShellTest, OptionsAndDestinationsAreStoredAtOnceAndFollowedLive)
{
    auto folder = addFolder("Downloads");
    auto window = makeWindow();
    auto* settings = window->settings();
    window->list()->selectConfigurations({folder->id()});

    // No destinations yet: the choose button stands in for the pop-up.
    EXPECT_TRUE(settings->chooseNewApplicationDestinationButton()->isVisible());
    EXPECT_FALSE(settings->applicationsDestinationDropdown()->isVisible());
    settings->fileFoundActionDropdown()->setCurrentIndex(2);
    emit settings->fileFoundActionDropdown()->activated(2);
    EXPECT_EQ(folder->fileFoundAction().currentValue(), options::FileFoundActionOption::ignore);
    ASSERT_TRUE(folder->applicationCopiedAction().store(options::ApplicationCopiedActionOption::openApp).ok());
    EXPECT_TRUE(QTest::qWaitFor([&] { return settings->applicationCopiedActionDropdown()->currentIndex() == 1; }, 5000));

    // A new destination outside the applications folders is confirmed first.
    auto chosen = makeFolder("Programs");
    dialogs->folders = {std::nullopt, chosen};
    dialogs->answers = {alerts::alertFirstButtonReturn};
    settings->chooseNewApplicationDirectory(); // cancelled
    EXPECT_FALSE(folder->destinationBookmarkUUID().currentValue());
    settings->chooseNewApplicationDirectory();
    EXPECT_EQ(dialogs->alertsShown, Strings {"Add Non-Applications directory?"});
    EXPECT_EQ(destinations->destination(folder->destinationBookmarkUUID().currentValue().value())->url().value().path(), chosen);
    EXPECT_EQ(settings->applicationsDestinationDropdown()->currentText().toStdString(), chosen.string());
    EXPECT_TRUE(settings->applicationsDestinationErrorButton()->isHidden());
}

// The watchers follow the list the window adds to (as their own tests show).
TEST_F(ShellTest, AFolderAddedInTheWindowIsSelectedWithTheKnownDestinationAndTheApplicationsFolderIsConfirmedFirst)
{
    auto target = destination();
    auto window = makeWindow();
    auto applications = fs::path(std::getenv("HOME")) / "Applications";
    fs::create_directories(applications);
    dialogs->folders = {applications, applications};
    dialogs->answers = {alerts::alertSecondButtonReturn};
    window->addWatchFolder(); // "Cancel"
    EXPECT_EQ(dialogs->alertsShown, Strings {"Watch Applications directory?"});
    EXPECT_EQ(sources->fileSourceConfigurations().size(), 2u);
    dialogs->answers = {alerts::alertFirstButtonReturn};
    window->addWatchFolder();
    EXPECT_EQ(sources->fileSourceConfigurations().size(), 3u);
    fs::remove_all(applications);

    dialogs->folders = {makeFolder("Downloads")};
    window->addWatchFolder();
    auto added = sources->fileSourceConfigurations().back();
    EXPECT_EQ(added->watchDirectoryURL()->path(), root / "Downloads");
    EXPECT_EQ(window->list()->selectedConfigurations(), FileSourceConfigurationsManager::Configurations {added});
    EXPECT_EQ(added->destinationBookmarkUUID().currentValue(), target->uuid());
}

// An updater alert answers the chosen button's index, and the declining
// (last) one when it is closed without a choice; its link shows in the box.
TEST_F(ShellTest, UpdateAlertsAnswerTheButtonsIndexAndDeclineWhenClosed)
{
    std::vector<QString> seen;
    answerNextMessageBox("Check Automatically", &seen);
    EXPECT_EQ(presentUpdateAlert({"Check for updates automatically?", "", {"Check Automatically", "Don't Check"}, std::nullopt}), 0u);
    QString shownText;
    onNextMessageBox([&](QMessageBox* box) {
        shownText = box->informativeText();
        box->reject();
    });
    EXPECT_EQ(presentUpdateAlert({"A new version of Tavik is available!", "Tavik 9.0 is now available.", {"OK", "Later"}, "https://tavik.app/releases/9.0"}), 1u);
    EXPECT_TRUE(shownText.contains("https://tavik.app/releases/9.0")) << shownText.toStdString();
}

// Without a notification server a question is a Qt message box, shown from
// the main queue; the place of the button clicked gives the answer.
TEST_F(ShellTest, AQuestionIsAnsweredInAQtMessageBox)
{
    tavik::testing::PrivateSessionBus bus;
    auto center = std::make_shared<notifications::FreedesktopNotificationCenter>();
    auto performer = std::make_shared<UserInputRequestPerformer>(center, std::make_shared<QtAlertPresenter>());
    std::vector<QString> seen;
    answerNextMessageBox("Ignore", &seen);
    tavik::testing::Recorder<std::string> answers;
    performer->requestUserInput("Found ZIP", "Choose how to handle ZIP", UserInputRequestPerformer::Category::foundFile,
        [&](Result<UserResponse> answer) { answers.add(answer.ok() ? answer.value().identifier() : answer.error()->description()); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !answers.all().empty(); }, 20000));
    EXPECT_EQ(answers.all(), Strings {"IGNORE_FILE_ACTION"});
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<QString> {"Find Applications", "Ignore"}));
    center->disconnect();
}

class DesktopTest : public ShellTest {
protected:
    std::unique_ptr<DesktopAppDelegate> launch(bool hasRunInitialSetup, bool launchedByLauncher, Strings arguments = {})
    {
        EXPECT_TRUE(AppPreferences::hasRunInitialSetup().store(hasRunInitialSetup).ok());
        AppDelegate::Environment environment;
        environment.userDefaults = userDefaults;
        environment.fileSourcesManager = sources;
        environment.applicationsDestinationManager = destinations;
        environment.userInputRequestPerformer = std::make_shared<UserInputRequestPerformer>(std::make_shared<notifications::FreedesktopNotificationCenter>());
        environment.presentUpdateAlert = [this](const updater::UpdateAlert& alert) {
            updateAlerts.push_back(alert.title);
            return alert.buttons.size() - 1;
        };
        appDelegate = AppDelegate::make(environment);
        appDelegate->applicationWillFinishLaunching();
        appDelegate->applicationDidFinishLaunching();
        DesktopAppDelegate::Options options;
        options.dialogs = dialogs;
        options.isSystemTrayAvailable = [this] { return trayAvailable; };
        // An installed layout: tavik in <prefix>/bin, its launcher in <prefix>/libexec/tavik.
        auto prefix = makeFolder("prefix");
        fs::create_directories(prefix / "bin");
        writeFile(prefix / "libexec/tavik/tavik-launcher", "#!/bin/sh\n");
        fs::permissions(prefix / "libexec/tavik/tavik-launcher", fs::perms::owner_all);
        options.tavikExecutable = prefix / "bin/tavik";
        auto desktop = std::make_unique<DesktopAppDelegate>(appDelegate, options);
        desktop->launch(arguments, launchedByLauncher);
        return desktop;
    }
    static void store(ApplicationDockIconMenuBarOption option)
    {
        ASSERT_TRUE(AppPreferences::applicationDockIconMenuBarOption().store(option).ok());
    }

    std::shared_ptr<AppDelegate> appDelegate;
    bool trayAvailable = true;
    Strings updateAlerts;
};

TEST_F(DesktopTest, FirstLaunchShowsTheIntroductionWithoutTrayIconAndItCannotBeClosed)
{
    auto desktop = launch(false, false);
    ASSERT_TRUE(desktop->introWindow());
    EXPECT_FALSE(desktop->menuBarManager()->isStatusItemShown());
    EXPECT_EQ(desktop->activationPolicy(), ActivationPolicy::regular);
    desktop->introWindow()->close();
    EXPECT_TRUE(desktop->introWindow() && desktop->introWindow()->isVisible()) << "closed only by completing the setup";

    // Walking through it watches the chosen folders and brings the window and the tray icon.
    auto* intro = desktop->introWindow();
    auto* primary = intro->findChild<QPushButton*>("primary");
    auto* folderButton = intro->findChild<QPushButton*>("chooseFolder");
    QTest::mouseClick(primary, Qt::LeftButton);
    EXPECT_EQ(primary->text(), "Skip");
    dialogs->folders = {makeFolder("Apps")};
    QTest::mouseClick(folderButton, Qt::LeftButton);
    ASSERT_EQ(dialogs->chooserStarts.size(), 1u);
    EXPECT_TRUE(dialogs->chooserStarts[0].has_value()) << "the dialog starts in an applications folder";
    EXPECT_TRUE(QTest::qWaitFor([&] { return primary->text() == "Next"; }, 5000));

    QTest::mouseClick(primary, Qt::LeftButton);
    // The folder to watch is dropped on the window; a file is not taken.
    writeFile(root / "a file", "x");
    auto drop = [&](const fs::path& path) {
        auto data = filesData({path});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(intro, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(intro, &dropped);
        return true;
    };
    EXPECT_FALSE(drop(root / "a file"));
    EXPECT_TRUE(drop(makeFolder("Downloads")));
    EXPECT_TRUE(QTest::qWaitFor([&] { return primary->text() == "Next"; }, 5000));
    // On to the summary, back to the watch step and forward again.
    QTest::mouseClick(primary, Qt::LeftButton);
    QTest::mouseClick(intro->findChild<QPushButton*>("previous"), Qt::LeftButton);
    EXPECT_EQ(intro->steps().currentStep()->kind(), IntroStep::Kind::watch);
    QTest::mouseClick(primary, Qt::LeftButton);
    EXPECT_EQ(intro->findChild<QLabel*>("title")->text(), "Setup Complete");
    EXPECT_EQ(primary->text(), "Done");
    EXPECT_FALSE(AppPreferences::hasRunInitialSetup().currentValue()) << "only Done ends the setup";

    QTest::mouseClick(primary, Qt::LeftButton);
    EXPECT_TRUE(AppPreferences::hasRunInitialSetup().currentValue());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !desktop->introWindow(); }, 5000));
    ASSERT_TRUE(desktop->fileSourcesWindow());
    EXPECT_TRUE(desktop->menuBarManager()->isStatusItemShown());
    EXPECT_EQ(sources->fileSourceConfigurations().back()->displayName().currentValue(), (root / "Downloads").string());
}

TEST_F(DesktopTest, PreferencesPanesTurnLaunchAtLoginAndTheUpdaterOnAndOff)
{
    auto entry = fs::path(std::getenv("XDG_CONFIG_HOME")) / "autostart/app.tavik.TavikLauncher.desktop";
    store(ApplicationDockIconMenuBarOption::dockAndMenuBar);
    auto desktop = launch(true, false);
    desktop->showPreferencesWindow();
    auto* window = desktop->preferencesWindow();
    ASSERT_TRUE(window);

    // The pop-up and the tray icon follow the setting, also when it changes elsewhere.
    auto* popUp = window->findChild<QComboBox*>("dockIconMenuBar");
    auto option = [] { return AppPreferences::applicationDockIconMenuBarOption().currentValue(); };
    EXPECT_TRUE(desktop->menuBarManager()->isStatusItemShown());
    store(ApplicationDockIconMenuBarOption::dockOnly);
    EXPECT_TRUE(QTest::qWaitFor([&] { return popUp->currentData().toString().toStdString() == option().rawValue(); }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !desktop->menuBarManager()->isStatusItemShown(); }, 5000));
    popUp->activated(popUp->findData(QString::fromStdString(ApplicationDockIconMenuBarOption(ApplicationDockIconMenuBarOption::menuBarOnly).rawValue())));
    EXPECT_EQ(option(), ApplicationDockIconMenuBarOption::menuBarOnly);

    // "Launch at login" writes and removes the launcher's autostart entry.
    auto* launchAtLogin = window->findChild<QCheckBox*>("launchAtLogin");
    launchAtLogin->click();
    EXPECT_TRUE(launchAtLogin->isChecked());
    EXPECT_NE(tavik::testing::readFile(entry).find("tavik-launcher"), std::string::npos);
    launchAtLogin->click();
    EXPECT_FALSE(launchAtLogin->isChecked() || fs::exists(entry));

    // The Updates pane: automatic checks are stored, and a check without a
    // feed address ends in the updater's error alert.
    window->findChild<QAction*>("updates")->trigger();
    EXPECT_EQ(window->windowTitle(), "Updates");
    auto* automaticDownloads = window->findChild<QCheckBox*>("automaticallyDownloads");
    EXPECT_FALSE(automaticDownloads->isEnabled()) << "only with automatic checks";
    window->findChild<QCheckBox*>("automaticallyChecks")->click();
    EXPECT_TRUE(appDelegate->updater()->automaticallyChecksForUpdates());
    EXPECT_TRUE(QTest::qWaitFor([&] { return automaticDownloads->isEnabled(); }, 5000));
    window->findChild<QPushButton*>("checkForUpdates")->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !updateAlerts.empty(); }, 10000));
    EXPECT_EQ(updateAlerts, Strings {"Update Error!"});
}

TEST_F(DesktopTest, WindowsComeAndGoWithTheTaskbarEntryAndTheTrayIconStaysOptional)
{
    store(ApplicationDockIconMenuBarOption::menuBarOnly);
    trayAvailable = false;
    auto desktop = launch(true, false);
    ASSERT_TRUE(desktop->fileSourcesWindow());
    EXPECT_EQ(desktop->activationPolicy(), ActivationPolicy::regular);
    EXPECT_FALSE(desktop->menuBarManager()->isStatusItemShown()) << "no tray on this desktop";
    desktop->showPreferencesWindow();
    desktop->fileSourcesWindow()->close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !desktop->fileSourcesWindow(); }, 5000));
    EXPECT_EQ(desktop->activationPolicy(), ActivationPolicy::regular) << "the preferences are still open";
    desktop->preferencesWindow()->close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !desktop->preferencesWindow(); }, 5000));
    EXPECT_EQ(desktop->activationPolicy(), ActivationPolicy::accessory);

    // Starting Tavik again (a second `tavik`, whose call the bus service's own test follows) shows the window.
    EXPECT_TRUE(desktop->applicationShouldHandleReopen());
    EXPECT_TRUE(QTest::qWaitFor([&] { return desktop->fileSourcesWindow() && desktop->fileSourcesWindow()->isVisible(); }, 10000));
    EXPECT_FALSE(desktop->applicationShouldHandleReopen()) << "a visible window is only raised";
}

} // namespace

int main(int argc, char** argv)
{
    // Every test's home is private: the applications folder and the trash live there.
    tavik::testing::ScratchFolder home("tavik-shell-home");
    ::setenv("HOME", home.path().c_str(), 1);
    tavik::testing::ConfigHome::folder();
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    serveMainQueueFromQtEventLoop();
    ::testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    dispatch::MainRunLoop::setForwarder(nullptr);
    return status;
}
