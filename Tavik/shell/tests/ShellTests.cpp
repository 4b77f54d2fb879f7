// The desktop application's Qt classes on Qt's offscreen platform, over real
// configuration files, real folders and, where a question is asked or a
// second Tavik calls, a private session bus.

#include "Tavik/application/AppBus.hpp"
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
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/MainRunLoop.hpp"
#include "platform/notifications/FreedesktopNotificationCenter.hpp"
#include "platform/testing/PrivateSessionBus.hpp"

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
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <deque>
#include <thread>
#include <fstream>
#include <sstream>

using namespace tavik;
using namespace tavik::shell;
namespace fs = std::filesystem;

namespace {

// Answers the windows' dialogs from a script and records the alerts asked.
class ScriptedDialogs final : public ShellDialogs {
public:
    std::optional<fs::path> chooseFolder(QWidget*, const std::string& message, const std::string& prompt,
        const std::optional<fs::path>& start) override
    {
        chooserTexts.emplace_back(message + " / " + prompt);
        chooserStarts.push_back(start);
        if (folders.empty())
            return std::nullopt;
        auto folder = folders.front();
        folders.pop_front();
        return folder;
    }
    alerts::ModalResponse runAlert(QWidget*, const alerts::Alert& alert) override
    {
        alertsShown.push_back(alert);
        if (answers.empty())
            return alerts::modalResponseCancel;
        auto answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::deque<std::optional<fs::path>> folders;
    std::deque<alerts::ModalResponse> answers;
    std::vector<std::string> chooserTexts;
    std::vector<std::optional<fs::path>> chooserStarts;
    std::vector<alerts::Alert> alertsShown;
};

std::vector<std::string> menuTitles(QMenu* menu)
{
    std::vector<std::string> titles;
    for (auto* action : menu->actions())
        titles.push_back(action->isSeparator() ? "-" : action->text().toStdString());
    return titles;
}

class ShellTest : public tavik::testing::ConfigurationTest {
protected:
    void SetUp() override
    {
        ConfigurationTest::SetUp();
        manager = FileSourceConfigurationsManager::make(userDefaults);
        destinations = std::make_shared<ApplicationsDestinationManager>(userDefaults);
        dialogs = std::make_shared<ScriptedDialogs>();
    }

    FileSourceConfigurationPtr source(FileSource kind)
    {
        for (const auto& configuration : manager->fileSourceConfigurations()) {
            if (configuration->fileSource() == kind)
                return configuration;
        }
        return nullptr;
    }

    FileSourceConfigurationPtr addFolder(const std::string& name, bool withDestination = true)
    {
        std::optional<UUID> uuid;
        if (withDestination)
            uuid = destination()->uuid();
        return manager->addFolder(URL::fileURL(makeFolder(name), true), uuid).value();
    }

    ApplicationsDestinationPtr destination()
    {
        return destinations->destination(URL::fileURL(makeFolder("Applications Here"), true)).value();
    }

    std::unique_ptr<FileSourcesWindow> makeWindow()
    {
        auto window = std::make_unique<FileSourcesWindow>(manager, destinations, dialogs);
        window->show();
        return window;
    }

    std::shared_ptr<FileSourceConfigurationsManager> manager;
    std::shared_ptr<ApplicationsDestinationManager> destinations;
    std::shared_ptr<ScriptedDialogs> dialogs;
};

TEST_F(ShellTest, TheTrayMenuListsFoldersWithTheirStatusAndFollowsTheList)
{
    std::vector<std::vector<URL>> drops;
    MenuBarManager menuBar(manager, [&](const std::vector<URL>& files) {
        drops.push_back(files);
        return files;
    });
    EXPECT_FALSE(menuBar.menu()) << "no menu while hidden";
    menuBar.showStatusItem();
    ASSERT_TRUE(menuBar.menu());
    EXPECT_EQ(menuTitles(menuBar.menu()), (std::vector<std::string> {"Open Main Window...", "Preferences...", "-", "Quit Tavik"}));

    // Adding folders while shown rebuilds the menu.
    auto downloads = addFolder("Downloads");
    auto other = addFolder("Other");
    downloads->updateConfigurationErrors(*destinations);
    other->updateConfigurationErrors(*destinations);
    ASSERT_TRUE(QTest::qWaitFor([&] { return menuBar.menu()->actions().size() == 7; }, 5000));
    QTest::qWait(300); // every published list has arrived
    EXPECT_EQ(menuTitles(menuBar.menu()), (std::vector<std::string> {(root / "Downloads").string(), (root / "Other").string(), "-", "Open Main Window...", "Preferences...", "-", "Quit Tavik"}));
    QPointer<QAction> folderItem = menuBar.menu()->actions().at(0);
    EXPECT_FALSE(folderItem->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return folderItem && folderItem->property("statusImage").toString() == "tavik-status-available"; }, 5000));

    // The destination folder goes away: the image changes in the same menu.
    QMenu* menuBefore = menuBar.menu();
    fs::remove_all(root / "Applications Here");
    downloads->updateConfigurationErrors(*destinations);
    EXPECT_TRUE(QTest::qWaitFor([&] { return folderItem && folderItem->property("statusImage").toString() == "tavik-status-unavailable"; }, 5000));
    EXPECT_EQ(menuBar.menu(), menuBefore) << "the menu was not rebuilt";
    EXPECT_TRUE(folderItem) << "the item is the same";

    // While hidden nothing is built; showing again builds the current list.
    menuBar.hideStatusItem();
    EXPECT_FALSE(menuBar.isStatusItemShown());
    ASSERT_TRUE(manager->removeConfigurations([&](const FileSourceConfiguration& c) { return c.id() == other->id(); }).ok());
    QTest::qWait(100);
    menuBar.showStatusItem();
    EXPECT_EQ(menuTitles(menuBar.menu()).front(), (root / "Downloads").string());
    EXPECT_EQ(menuBar.menu()->actions().size(), 6);

    // A drop with an archive among other files is taken.
    std::ofstream(root / "notes.txt") << "text";
    std::ofstream(root / "Example.zip") << "PK";
    QMimeData both;
    both.setUrls({QUrl::fromLocalFile(QString::fromStdString((root / "notes.txt").string())),
        QUrl::fromLocalFile(QString::fromStdString((root / "Example.zip").string()))});
    EXPECT_TRUE(MenuBarManager::canHandleDrag(both));
    EXPECT_TRUE(menuBar.handleDrop(both));
    ASSERT_EQ(drops.size(), 1u);
}

TEST_F(ShellTest, TheWindowShowsTheSelectionsSettingsOrAnOverlay)
{
    auto folder = addFolder("Downloads");
    auto window = makeWindow();
    auto* list = window->list();
    auto* settings = window->settings();
    EXPECT_EQ(list->group()->text(0), "File Sources");
    EXPECT_EQ(list->group()->childCount(), 3);
    EXPECT_FALSE(list->group()->flags().testFlag(Qt::ItemIsSelectable));

    EXPECT_EQ(settings->overlayText(), "No File Source Selected");
    EXPECT_FALSE(window->deleteFileSourceDirectoryToolbarItem()->isEnabled());

    auto appIcon = source(FileSource::appIcon);
    list->selectConfigurations({appIcon->id()});
    EXPECT_FALSE(settings->overlayText());
    EXPECT_FALSE(window->deleteFileSourceDirectoryToolbarItem()->isEnabled()) << "the dock-icon source stays";
    EXPECT_EQ(settings->editingFileSourceConfiguration(), appIcon);

    list->selectConfigurations({appIcon->id(), folder->id()});
    EXPECT_EQ(settings->overlayText(), "Multiple File Sources Selected");
    EXPECT_TRUE(window->deleteFileSourceDirectoryToolbarItem()->isEnabled());

    // Rows show the name and follow the list when another process adds one.
    EXPECT_EQ(list->row(folder->id())->text(0).toStdString(), (root / "Downloads").string());
    auto elsewhere = FileSourceConfigurationsManager::make(userDefaults);
    auto added = elsewhere->addFolder(URL::fileURL(makeFolder("Later"), true), std::nullopt).value();
    EXPECT_TRUE(QTest::qWaitFor([&] { return list->row(added->id()) != nullptr; }, 5000));
    EXPECT_EQ(list->selectedConfigurations().size(), 2u) << "the selection survives the new list";
}

TEST_F(ShellTest, OptionsAndDestinationsAreStoredAtOnceAndFollowedLive)
{
    auto folder = addFolder("Downloads", /*withDestination=*/false);
    auto window = makeWindow();
    auto* settings = window->settings();
    window->list()->selectConfigurations({folder->id()});

    // No destinations yet: the choose button stands in for the pop-up.
    EXPECT_TRUE(settings->chooseNewApplicationDestinationButton()->isVisible());
    EXPECT_FALSE(settings->applicationsDestinationDropdown()->isVisible());

    auto* fileFound = settings->fileFoundActionDropdown();
    ASSERT_EQ(fileFound->count(), 3);
    EXPECT_EQ(fileFound->itemText(0), "Always Ask");
    fileFound->setCurrentIndex(2);
    emit fileFound->activated(2);
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
    ASSERT_EQ(dialogs->alertsShown.size(), 1u);
    EXPECT_EQ(dialogs->alertsShown[0].messageText, "Add Non-Applications directory?");
    auto uuid = folder->destinationBookmarkUUID().currentValue();
    ASSERT_TRUE(uuid);
    EXPECT_EQ(destinations->destination(*uuid)->url().value().path(), chosen);
    EXPECT_TRUE(settings->applicationsDestinationDropdown()->isVisible());
    EXPECT_EQ(settings->applicationsDestinationDropdown()->currentText().toStdString(), chosen.string());
    EXPECT_TRUE(settings->applicationsDestinationErrorButton()->isHidden());
}

TEST_F(ShellTest, RemovingFoldersAsksFirstAndKeepsTheIcons)
{
    auto first = addFolder("Downloads");
    auto second = addFolder("Other");
    auto window = makeWindow();
    window->list()->selectConfigurations({first->id(), second->id(), source(FileSource::appIcon)->id()});

    dialogs->answers = {alerts::alertSecondButtonReturn, alerts::alertFirstButtonReturn};
    window->removeSelectedFileSources(); // "Cancel"
    ASSERT_EQ(dialogs->alertsShown.size(), 1u);
    EXPECT_EQ(dialogs->alertsShown[0].messageText, "Remove 2 file sources?");
    EXPECT_EQ(manager->fileSourceConfigurations().size(), 4u);

    window->removeSelectedFileSources(); // "Remove"
    auto remaining = manager->fileSourceConfigurations();
    ASSERT_EQ(remaining.size(), 2u);
    EXPECT_EQ(remaining[0]->fileSource(), FileSource::appIcon);
    EXPECT_EQ(remaining[1]->fileSource(), FileSource::statusBarIcon);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->list()->group()->childCount() == 2; }, 5000));
}

TEST_F(ShellTest, WatchingTheApplicationsFolderIsConfirmedAndCancelAddsNothing)
{
    auto applications = fs::path(std::getenv("HOME")) / "Applications";
    fs::create_directories(applications);
    auto window = makeWindow();

    dialogs->folders = {applications};
    dialogs->answers = {alerts::alertSecondButtonReturn};
    window->addWatchFolder();
    ASSERT_EQ(dialogs->alertsShown.size(), 1u);
    EXPECT_EQ(dialogs->alertsShown[0].messageText, "Watch Applications directory?");
    EXPECT_EQ(dialogs->chooserTexts.at(0), "Folder to watch for applications / Add Folder");
    EXPECT_EQ(manager->fileSourceConfigurations().size(), 2u);

    dialogs->folders = {applications};
    dialogs->answers = {alerts::alertFirstButtonReturn};
    window->addWatchFolder();
    EXPECT_EQ(manager->fileSourceConfigurations().size(), 3u);
    fs::remove_all(applications);
}

// Records the files handed to the handler.
class RecordingFileHandler final : public FileHandler {
public:
    explicit RecordingFileHandler(std::shared_ptr<ApplicationsDestinationManager> destinations)
        : FileHandler(std::move(destinations), log::Logger("app.tavik.Tavik", "File Handler"))
    {
    }
    void handleFile(URL fileURL, FileSourceConfigurationPtr configuration, Completion completion) override
    {
        std::lock_guard lock(mutex);
        files.push_back({fileURL, configuration});
        dispatch::DispatchQueue::global()->async([completion] { completion(FileOutcome::dismissed()); });
    }
    std::mutex mutex;
    std::vector<std::pair<URL, FileSourceConfigurationPtr>> files;
};

TEST_F(ShellTest, AFolderAddedInTheWindowIsWatchedAtOnce)
{
    auto target = destination(); // the folder is given the known destination
    auto handler = std::make_shared<RecordingFileHandler>(destinations);
    auto watchers = FileWatchersManager::make(handler, manager, destinations,
        log::Logger("app.tavik.Tavik", "File Watchers Manager"), userDefaults, std::make_shared<progress::FileProgressService>());
    watchers->startWatching();
    auto window = makeWindow();

    auto downloads = makeFolder("Downloads");
    dialogs->folders = {downloads};
    window->addWatchFolder();
    auto selected = window->list()->selectedConfigurations();
    ASSERT_EQ(selected.size(), 1u) << "the new folder is selected";
    EXPECT_EQ(selected[0]->destinationBookmarkUUID().currentValue(), target->uuid());
    std::string id = selected[0]->id();
    selected.clear();
    ASSERT_TRUE(QTest::qWaitFor([&] { return watchers->watchedConfigurationIDs().contains(id); }, 5000));

    std::ofstream(downloads / "Example.zip") << "PK";
    ASSERT_TRUE(QTest::qWaitFor([&] {
        std::lock_guard lock(handler->mutex);
        return !handler->files.empty();
    },
        10000));
    std::lock_guard lock(handler->mutex);
    EXPECT_EQ(handler->files[0].first.path(), downloads / "Example.zip");
    EXPECT_EQ(handler->files[0].second->id(), id);
}

// Clicks the button with this title on the next message box that shows.
void answerNextMessageBox(const QString& title, std::vector<QString>* buttonsSeen)
{
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, title, buttonsSeen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        for (auto* button : box->buttons())
            buttonsSeen->push_back(button->text());
        for (auto* button : box->buttons()) {
            if (button->text() == title) {
                timer->stop();
                timer->deleteLater();
                button->click();
                return;
            }
        }
    });
    timer->start(20);
}

TEST_F(ShellTest, TheQtAlertAnswersWithTheResponseCodeOfTheButtonsPlace)
{
    std::vector<QString> seen;
    answerNextMessageBox("Rename and Copy", &seen);
    auto response = QtAlertPresenter().runModal({"Example.app already exists", "Choose how to handle it",
        {"Overwrite", "Rename and Copy", "Ignore"}});
    EXPECT_EQ(response, alerts::alertSecondButtonReturn);
    ASSERT_EQ(seen.size(), 3u);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<QString> {"Ignore", "Overwrite", "Rename and Copy"}));
}

// An updater alert answers the chosen button's index, and the declining
// (last) one when it is closed without a choice; its link shows in the box.
TEST_F(ShellTest, UpdateAlertsAnswerTheButtonsIndexAndDeclineWhenClosed)
{
    std::vector<QString> seen;
    answerNextMessageBox("Check Automatically", &seen);
    EXPECT_EQ(presentUpdateAlert({"Check for updates automatically?", "", {"Check Automatically", "Don't Check"}, std::nullopt}), 0u);

    QString shownText;
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, &shownText] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        timer->stop();
        timer->deleteLater();
        shownText = box->informativeText();
        box->reject();
    });
    timer->start(20);
    EXPECT_EQ(presentUpdateAlert({"A new version of Tavik is available!", "Tavik 9.0 is now available.",
                  {"OK", "Later"}, "https://tavik.app/releases/9.0"}),
        1u);
    EXPECT_TRUE(shownText.contains("https://tavik.app/releases/9.0")) << shownText.toStdString();
}

TEST_F(ShellTest, AQuestionAnsweredInTheQtDialogReachesTheFileHandler)
{
    tavik::testing::PrivateSessionBus bus; // no notification server: questions become alerts
    alerts::AlertPresenter::setCurrent(std::make_shared<QtAlertPresenter>());
    FileHandler::Services services;
    services.userInputRequestPerformer
        = std::make_shared<UserInputRequestPerformer>(std::make_shared<notifications::FreedesktopNotificationCenter>());
    auto handler = std::make_shared<FileHandler>(destinations, log::Logger("app.tavik.Tavik", "File Handler"), services);

    auto folder = addFolder("Downloads");
    ASSERT_TRUE(folder->fileFoundAction().store(options::FileFoundActionOption::alwaysAsk).ok());
    auto archive = root / "Downloads" / "Example.zip";
    std::ofstream(archive, std::ios::binary) << std::string("PK\x05\x06", 4) << std::string(18, '\0');

    std::vector<QString> seen;
    answerNextMessageBox("Ignore", &seen);
    std::mutex mutex;
    std::optional<std::string> outcome;
    handler->handleFile(URL::fileURL(archive), folder, [&](FileHandler::FileOutcome result) {
        std::lock_guard lock(mutex);
        outcome = result.description();
    });
    ASSERT_TRUE(QTest::qWaitFor([&] {
        std::lock_guard lock(mutex);
        return outcome.has_value();
    },
        20000));
    EXPECT_EQ(*outcome, "ignored");
    EXPECT_FALSE(seen.empty());
    alerts::AlertPresenter::setCurrent(nullptr);
    handler->waitUntilIdle(std::chrono::seconds(10));
}

class DesktopTest : public ShellTest {
protected:
    std::unique_ptr<DesktopAppDelegate> launch(bool hasRunInitialSetup, bool launchedByLauncher,
        std::vector<std::string> arguments = {})
    {
        EXPECT_TRUE(AppPreferences::hasRunInitialSetup().store(hasRunInitialSetup).ok());
        AppDelegate::Environment environment;
        environment.userDefaults = userDefaults;
        environment.fileSourcesManager = manager;
        environment.applicationsDestinationManager = destinations;
        environment.userInputRequestPerformer
            = std::make_shared<UserInputRequestPerformer>(std::make_shared<notifications::FreedesktopNotificationCenter>());
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
        fs::create_directories(prefix / "libexec/tavik");
        std::ofstream(prefix / "libexec/tavik/tavik-launcher") << "#!/bin/sh\n";
        fs::permissions(prefix / "libexec/tavik/tavik-launcher", fs::perms::owner_all);
        options.tavikExecutable = prefix / "bin/tavik";
        auto desktop = std::make_unique<DesktopAppDelegate>(appDelegate, options);
        desktop->launch(arguments, launchedByLauncher);
        return desktop;
    }

    std::shared_ptr<AppDelegate> appDelegate;
    bool trayAvailable = true;
    std::vector<std::string> updateAlerts;
};

TEST_F(DesktopTest, FirstLaunchShowsTheIntroductionWithoutTrayIconAndItCannotBeClosed)
{
    auto desktop = launch(false, false);
    ASSERT_TRUE(desktop->introWindow());
    EXPECT_TRUE(desktop->introWindow()->isVisible());
    EXPECT_FALSE(desktop->fileSourcesWindow());
    EXPECT_FALSE(desktop->menuBarManager()->isStatusItemShown());
    EXPECT_EQ(desktop->activationPolicy(), ActivationPolicy::regular);
    desktop->introWindow()->close();
    EXPECT_TRUE(desktop->introWindow() && desktop->introWindow()->isVisible()) << "closed only by completing the setup";

    // Walking through it watches the chosen folders and brings the window and the tray icon.
    auto* intro = desktop->introWindow();
    auto* primary = intro->findChild<QPushButton*>("primary");
    auto* previous = intro->findChild<QPushButton*>("previous");
    auto* folderButton = intro->findChild<QPushButton*>("chooseFolder");
    auto* title = intro->findChild<QLabel*>("title");
    EXPECT_EQ(primary->text(), "Next");
    EXPECT_FALSE(previous->isVisibleTo(intro));
    EXPECT_FALSE(folderButton->isVisibleTo(intro));

    QTest::mouseClick(primary, Qt::LeftButton);
    EXPECT_EQ(intro->steps().currentStep()->kind(), IntroStep::Kind::destination);
    EXPECT_TRUE(folderButton->isVisibleTo(intro));
    EXPECT_TRUE(previous->isVisibleTo(intro));
    EXPECT_EQ(primary->text(), "Skip");
    // Not a folder: the alert says why and the step stays incomplete.
    intro->chooseFolder(URL::fileURL(root / "no such folder", true));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs->alertsShown.empty(); }, 5000));
    EXPECT_NE(dialogs->alertsShown.back().messageText.find("no such folder"), std::string::npos)
        << dialogs->alertsShown.back().messageText;
    EXPECT_EQ(primary->text(), "Skip");
    dialogs->folders = {makeFolder("Apps")};
    QTest::mouseClick(folderButton, Qt::LeftButton);
    ASSERT_EQ(dialogs->chooserStarts.size(), 1u);
    EXPECT_TRUE(dialogs->chooserStarts[0].has_value()) << "the dialog starts in an applications folder";
    EXPECT_TRUE(QTest::qWaitFor([&] { return primary->text() == "Next"; }, 5000));

    QTest::mouseClick(primary, Qt::LeftButton);
    EXPECT_EQ(intro->steps().currentStep()->kind(), IntroStep::Kind::watch);
    // The folder to watch is dropped on the window; a file is not taken.
    std::ofstream(root / "a file") << "x";
    auto drop = [&](const fs::path& path) {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path.string()))});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(intro, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(intro, &dropped);
        return true;
    };
    EXPECT_FALSE(drop(root / "a file"));
    EXPECT_TRUE(drop(makeFolder("Downloads")));
    EXPECT_TRUE(QTest::qWaitFor([&] { return primary->text() == "Next"; }, 5000));
    QTest::mouseClick(primary, Qt::LeftButton);
    EXPECT_EQ(title->text(), "Setup Complete");
    // Back to the watch step and forward again.
    QTest::mouseClick(previous, Qt::LeftButton);
    EXPECT_EQ(intro->steps().currentStep()->kind(), IntroStep::Kind::watch);
    QTest::mouseClick(primary, Qt::LeftButton);
    EXPECT_EQ(title->text(), "Setup Complete");
    EXPECT_EQ(primary->text(), "Done");
    EXPECT_FALSE(AppPreferences::hasRunInitialSetup().currentValue()) << "only Done ends the setup";

    QTest::mouseClick(primary, Qt::LeftButton);
    EXPECT_TRUE(AppPreferences::hasRunInitialSetup().currentValue());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !desktop->introWindow(); }, 5000));
    ASSERT_TRUE(desktop->fileSourcesWindow());
    EXPECT_TRUE(desktop->menuBarManager()->isStatusItemShown());
    EXPECT_EQ(manager->fileSourceConfigurations().back()->displayName().currentValue(), (root / "Downloads").string());
}

TEST_F(DesktopTest, PreferencesPanesTurnLaunchAtLoginAndTheUpdaterOnAndOff)
{
    auto autostart = fs::path(std::getenv("XDG_CONFIG_HOME")) / "autostart";
    auto entry = autostart / "app.tavik.TavikLauncher.desktop";
    fs::remove_all(autostart);
    ASSERT_TRUE(AppPreferences::applicationDockIconMenuBarOption().store(ApplicationDockIconMenuBarOption::dockAndMenuBar).ok());
    auto desktop = launch(true, false);
    desktop->showPreferencesWindow();
    auto* window = desktop->preferencesWindow();
    ASSERT_TRUE(window);
    EXPECT_EQ(window->windowTitle(), "General");
    auto generalHeight = window->height();

    // The pop-up follows the setting, also when it changes elsewhere.
    auto* popUp = window->findChild<QComboBox*>("dockIconMenuBar");
    ASSERT_TRUE(popUp);
    auto option = [] { return AppPreferences::applicationDockIconMenuBarOption().currentValue(); };
    ASSERT_TRUE(AppPreferences::applicationDockIconMenuBarOption().store(ApplicationDockIconMenuBarOption::dockOnly).ok());
    EXPECT_TRUE(QTest::qWaitFor([&] { return popUp->currentData().toString().toStdString() == option().rawValue(); }, 5000));
    popUp->activated(popUp->findData(QString::fromStdString(ApplicationDockIconMenuBarOption(ApplicationDockIconMenuBarOption::menuBarOnly).rawValue())));
    EXPECT_EQ(option(), ApplicationDockIconMenuBarOption::menuBarOnly);

    // "Launch at login" writes and removes the launcher's autostart entry;
    // where the entry cannot be written, the box stays off.
    auto* launchAtLogin = window->findChild<QCheckBox*>("launchAtLogin");
    ASSERT_TRUE(launchAtLogin);
    EXPECT_FALSE(launchAtLogin->isChecked());
    launchAtLogin->click();
    EXPECT_TRUE(launchAtLogin->isChecked());
    ASSERT_TRUE(fs::exists(entry));
    std::stringstream text;
    text << std::ifstream(entry).rdbuf();
    EXPECT_NE(text.str().find("tavik-launcher"), std::string::npos) << text.str();
    launchAtLogin->click();
    EXPECT_FALSE(launchAtLogin->isChecked());
    EXPECT_FALSE(fs::exists(entry));
    fs::remove_all(autostart);
    std::ofstream(autostart) << "not a folder";
    launchAtLogin->click();
    EXPECT_EQ(launchAtLogin->checkState(), Qt::Unchecked);
    fs::remove(autostart);

    // The Updates pane: its own title and size; automatic checks are stored,
    // and a check without a feed address ends in the updater's error alert.
    window->findChild<QAction*>("updates")->trigger();
    EXPECT_EQ(window->windowTitle(), "Updates");
    EXPECT_NE(window->height(), generalHeight);
    EXPECT_EQ(window->findChild<QLabel*>("lastCheck")->text(), "Last check: Never");
    auto* automaticChecks = window->findChild<QCheckBox*>("automaticallyChecks");
    auto* automaticDownloads = window->findChild<QCheckBox*>("automaticallyDownloads");
    EXPECT_FALSE(automaticDownloads->isEnabled()) << "only with automatic checks";
    automaticChecks->click();
    EXPECT_TRUE(appDelegate->updater()->automaticallyChecksForUpdates());
    EXPECT_TRUE(QTest::qWaitFor([&] { return automaticDownloads->isEnabled(); }, 5000));
    window->findChild<QPushButton*>("checkForUpdates")->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !updateAlerts.empty(); }, 10000));
    EXPECT_EQ(updateAlerts, std::vector<std::string> {"Update Error!"});

    // The frame is kept for the next window.
    window->close();
    EXPECT_TRUE(userDefaults->object(preferences::PreferencesWindow::frameAutosaveName));
}

TEST_F(DesktopTest, StartedByTheLauncherAfterSetupShowsNothing)
{
    ASSERT_TRUE(AppPreferences::applicationDockIconMenuBarOption().store(ApplicationDockIconMenuBarOption::menuBarOnly).ok());
    auto desktop = launch(true, true, {"--showPreferences"});
    EXPECT_FALSE(desktop->fileSourcesWindow());
    EXPECT_FALSE(desktop->preferencesWindow());
    EXPECT_FALSE(desktop->introWindow());
    EXPECT_EQ(desktop->activationPolicy(), ActivationPolicy::accessory);
    EXPECT_TRUE(desktop->menuBarManager()->isStatusItemShown());

    // The option follows a change made elsewhere (the command line, the preferences).
    ASSERT_TRUE(AppPreferences::applicationDockIconMenuBarOption().store(ApplicationDockIconMenuBarOption::dockOnly).ok());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !desktop->menuBarManager()->isStatusItemShown(); }, 5000));
}

TEST_F(DesktopTest, WindowsComeAndGoWithTheTaskbarEntryAndTheTrayIconStaysOptional)
{
    ASSERT_TRUE(AppPreferences::applicationDockIconMenuBarOption().store(ApplicationDockIconMenuBarOption::menuBarOnly).ok());
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

    // Starting Tavik again (a second `tavik`) shows the window through the bus.
    tavik::testing::PrivateSessionBus bus;
    auto* raw = desktop.get();
    auto service = AppBusService::start([](std::vector<URL>, FileSource) {},
        [raw] {
            dispatch::DispatchQueue::main()->async([raw] { raw->applicationShouldHandleReopen(); });
            return true;
        });
    ASSERT_TRUE(service.ok());
    std::optional<Result<bool>> reopened;
    std::thread second([&] { reopened = reopenRunningInstance(); });
    EXPECT_TRUE(QTest::qWaitFor([&] { return desktop->fileSourcesWindow() && desktop->fileSourcesWindow()->isVisible(); }, 10000));
    second.join();
    ASSERT_TRUE(reopened && reopened->ok());
    EXPECT_TRUE(**reopened);
    EXPECT_FALSE(desktop->applicationShouldHandleReopen()) << "a visible window is only raised";
}

} // namespace

int main(int argc, char** argv)
{
    // Every test's home is private: the applications folder and the trash live there.
    std::string home = (fs::temp_directory_path() / "tavik-shell-home-XXXXXX").string();
    ::setenv("HOME", mkdtemp(home.data()), 1);
    tavik::testing::ConfigHome::folder();
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    serveMainQueueFromQtEventLoop();
    ::testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    dispatch::MainRunLoop::setForwarder(nullptr);
    std::error_code ignored;
    fs::remove_all(home, ignored);
    return status;
}
