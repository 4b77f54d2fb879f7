// The file handler end to end: real configurations, archives and images,
// duvrin-xpc on a private bus with the hdiutil stand-in, the real workspace and
// trash. Only the notification center is scripted, for tests to answer questions.
#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "Tavik/file-handling/AppImageInstallation.hpp"
#include "Tavik/file-handling/FileHandler.hpp"
#include "Tavik/file-handling/tests/SearchFixtures.hpp"
#include "Tavik/folder-watching/FileWatchersManager.hpp"
#include "Tavik/prompts/UserInputRequestPerformer.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/dispatch/MainRunLoop.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/notifications/FreedesktopNotificationCenter.hpp"
#include "platform/notifications/NotificationCenter.hpp"
#include "platform/testing/ScriptedNotificationCenter.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"

#include <gmock/gmock.h>

#include <map>
#include <thread>

using namespace tavik;
using namespace tavik::testing;
using namespace tavik::options;
using namespace std::chrono_literals;
using Outcome = FileHandler::FileOutcome;

namespace {

// GLib reads the data home (the trash's) once per process: it and the config home go private first.
struct PrivateHome : ::testing::Environment {
    void SetUp() override
    {
        home.emplace("tavik-handler-home");
        for (auto [name, folder] : {std::pair {"HOME", ""}, {"XDG_DATA_HOME", "data"}, {"XDG_CONFIG_HOME", "config"}}) setenv(name, (home->path() / folder).c_str(), 1);
    }
    void TearDown() override { home.reset(); }
    std::optional<ScratchFolder> home;
};
const auto* const privateHome = ::testing::AddGlobalTestEnvironment(new PrivateHome);

fs::path trashFiles() { return fs::path(std::getenv("XDG_DATA_HOME")) / "Trash/files"; }

const FileHandler::Error* handlerError(const std::optional<Outcome>& outcome) { return outcome ? dynamic_cast<const FileHandler::Error*>(outcome->failure().get()) : nullptr; }
std::string describe(const std::optional<Outcome>& outcome) { return outcome ? outcome->description() : "no outcome"; }
::testing::AssertionResult completed(const std::optional<Outcome>& outcome)
{
    return outcome && outcome->isCompleted() ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << describe(outcome);
}

// A disk image service whose two calls do what the test says.
struct ScriptedService final : service::DuvrinXPCServiceProtocol {
    std::function<void(const URL& dmg, const URL& mountPoint, service::MountDMGResponse)> mount;
    std::function<void(const URL& mountPath, service::UnmountDMGResponse)> unmount;
    void mountDMG(const URL& dmg, const URL& mountPoint, service::MountDMGResponse response) override { mount(dmg, mountPoint, std::move(response)); }
    void unmountDMGWithMountPath(const URL& mountPath, service::UnmountDMGResponse response) override { unmount(mountPath, std::move(response)); }
};

// The real service, or one of that name that is not there.
std::shared_ptr<service::DuvrinXPCServiceProtocol> serviceNamed(const char* name, service::ServiceErrorHandler handler)
{
    return service::DuvrinXPCConnection(service::DuvrinXPCConnection::Options {name}).remoteObjectProxyWithErrorHandler(std::move(handler));
}
const char* const realServiceName = "app.tavik.DuvrinXPC";
const char* const missingServiceName = "app.tavik.NoSuchService";

// Connections whose attaches and detaches go where the functions say.
FileHandler::Services scripted(std::function<const char*(const URL& dmg)> attachThrough,
    std::function<void(service::ServiceErrorHandler, const URL&, service::UnmountDMGResponse)> detach)
{
    FileHandler::Services services;
    services.connectToDiskImageService = [=](service::ServiceErrorHandler handler) {
        auto service = std::make_shared<ScriptedService>();
        service->mount = [=](const URL& dmg, const URL& mountPoint, service::MountDMGResponse response) { serviceNamed(attachThrough(dmg), handler)->mountDMG(dmg, mountPoint, std::move(response)); };
        service->unmount = [=](const URL& path, service::UnmountDMGResponse response) { detach(handler, path, std::move(response)); };
        return service;
    };
    return services;
}

class FileHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The stand-in for xdg-open records what it was asked to open.
        writeFile(work_ / "bin/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + (markers_ / "xdg-open").string() + "'\n");
        fs::permissions(work_ / "bin/xdg-open", fs::perms(0755));
        fs::create_directories(markers_);
        path_.prependToPath((work_ / "bin").string());
        bus_ = environment_.busWithDiskImageService();
        performer_->registerCategories();

        fs::create_directories(downloads_);
        fs::create_directories(applications_);
        auto destination = destinations_->destination(URL::fileURL(applications_));
        ASSERT_TRUE(destination.ok());
        auto folder = configurations_->addFolder(URL::fileURL(downloads_), (*destination)->uuid());
        ASSERT_TRUE(folder.ok()) << folder.error()->description();
        folder_ = *folder;
        appIcon_ = configurations_->fileSourceConfigurations().front();
        ASSERT_EQ(appIcon_->fileSource(), FileSource::appIcon);
        ASSERT_TRUE(appIcon_->destinationBookmarkUUID().store((*destination)->uuid()).ok());
        for (const auto& configuration : {folder_, appIcon_}) {
            ASSERT_TRUE(configuration->applicationFoundAction().store(ApplicationFoundActionOption::copyToDestination).ok());
            ASSERT_TRUE(configuration->applicationCopiedAction().store(ApplicationCopiedActionOption::openApp).ok());
            ASSERT_TRUE(configuration->allApplicationsHandled().store(AllApplicationsHandledAction::moveToTrash).ok());
        }
    }


    std::shared_ptr<FileHandler> makeHandler(FileHandler::Services services = {})
    {
        services.userInputRequestPerformer = performer_;
        return std::make_shared<FileHandler>(destinations_, log::Logger("app.tavik.Tavik", "File Handler"), std::move(services));
    }

    // A ZIP archive or disk image in the folder (else the downloads) of these
    // items: a bundle that leaves a marker when it runs, a key of `nested` as
    // an image or archive of the items given there, anything else a file.
    fs::path makeDownload(const std::string& name, const std::vector<std::string>& items, fs::path folder = {}, const std::map<std::string, std::vector<std::string>>& nested = {})
    {
        folder = folder.empty() ? downloads_ : folder;
        auto tree = work_ / ("tree-" + name);
        fs::create_directories(tree);
        for (const auto& item : items) {
            if (auto inner = nested.find(item); inner != nested.end())
                makeDownload(item, inner->second, tree);
            else if (item.ends_with(".app"))
                makeBundle(tree / item, {.script = "#!/bin/sh\necho opened > '" + (markers_ / fs::path(item).stem()).string() + "'\n"});
            else
                writeFile(tree / item, "xar!");
        }
        fs::create_directories(folder);
        if (name.ends_with(".dmg"))
            makeDiskImage(tree, folder / name);
        else
            EXPECT_EQ(run({"zip", "-qry", (folder / name).string(), "."}, tree), 0);
        return folder / name;
    }

    // Hands the file to a handler kept alive (answers reach only a live one) and waits for its one outcome.
    std::optional<Outcome> handle(const fs::path& file, const FileSourceConfigurationPtr& configuration, FileHandler::Services services = {})
    {
        CompletionRecorder<Outcome> outcomes;
        auto handler = makeHandler(std::move(services));
        handler->handleFile(URL::fileURL(file), configuration, outcomes.completion());
        auto outcome = outcomes.wait();
        EXPECT_EQ(outcomes.settledCount(), 1u);
        return outcome;
    }
    std::string completedWith(const std::vector<fs::path>& copies) const
    {
        std::string list;
        for (const auto& copy : copies) list += (list.empty() ? "" : ", ") + URL::fileURL(copy, copy.extension() == ".app").description();
        return "completed([" + list + "])";
    }

    // What is left in the process's temporary folder besides "mounts".
    std::vector<std::string> workingFolders() const
    {
        auto names = namesIn(environment_.temporaryFolder());
        std::erase(names, "mounts");
        return names;
    }
    bool mountsFolderEmpty() const { return namesIn(environment_.mountsFolder()).empty(); }
    // The mount points that hold anything: a volume still attached.
    size_t attachedVolumes() const
    {
        return std::ranges::count_if(namesIn(environment_.mountsFolder()), [&](const auto& name) { return !namesIn(environment_.mountsFolder() / name).empty(); });
    }
    size_t logged(const std::string& prefix) const
    {
        return std::ranges::count_if(logs_.entries(), [&](const auto& entry) { return entry.message.starts_with(prefix); });
    }

    SearchEnvironment environment_;
    ScratchFolder work_;
    ScopedEnvironment path_;
    fs::path markers_ = work_ / "markers";
    fs::path downloads_ = work_ / "Downloads";
    fs::path applications_ = work_ / "Applications";
    std::unique_ptr<PrivateSessionBus> bus_;
    log::LogCapture logs_;
    std::shared_ptr<ScriptedNotificationCenter> center_ = std::make_shared<ScriptedNotificationCenter>();
    std::shared_ptr<UserInputRequestPerformer> performer_ = std::make_shared<UserInputRequestPerformer>(center_);
    std::shared_ptr<defaults::UserDefaults> userDefaults_ = defaults::UserDefaults::suite("app.tavik.Tavik.test-" + UUID().uuidString());
    std::shared_ptr<ApplicationsDestinationManager> destinations_ = std::make_shared<ApplicationsDestinationManager>(userDefaults_);
    std::shared_ptr<FileSourceConfigurationsManager> configurations_ = FileSourceConfigurationsManager::make(userDefaults_);
    FileSourceConfigurationPtr folder_, appIcon_;
};

TEST_F(FileHandlerTest, ZipWithOneApplicationIsCopiedOpenedAndTrashedAndItsWorkingFolderRemoved)
{
    auto archive = makeDownload("Example.zip", {"Example.app"});
    auto copy = applications_ / "Example.app";
    EXPECT_EQ(describe(handle(archive, folder_)), completedWith({copy}));
    EXPECT_TRUE(fs::is_regular_file(copy / "Contents/MacOS/Example"));
    EXPECT_TRUE(eventually([&] { return fs::exists(markers_ / "Example"); })) << "the copy was not opened";
    EXPECT_TRUE(eventually([&] { return !fs::exists(archive) && fs::exists(trashFiles() / "Example.zip"); }));
    EXPECT_TRUE(eventually([&] { return workingFolders().empty(); }));
    EXPECT_EQ(center_->posted("ACTIONLESS_MESSAGE").front(), "Found a ZIP file | Searching for applications in " + archive.string());
    for (const auto& [level, message] : {std::pair {log::Level::defaultLevel, "Found ZIP archive at " + archive.string()}, {log::Level::info, "Found 1 application(s)"},
             {log::Level::debug, "Applications were found in DMG mountpoints: []"}, {log::Level::info, "Trashed handled file from " + archive.string()}, {log::Level::info, "Completed opening applications"}})
        EXPECT_TRUE(eventually([&] { return logs_.contains(level, message); })) << message;
}

TEST_F(FileHandlerTest, PackagesAreOpenedInPlaceAndKeptAndStopTheCleanUp)
{
    writeFile(work_ / "deb-tree/DEBIAN/control", "Package: tavik-test-tool\nVersion: 1.0\nArchitecture: all\nMaintainer: Test <t@example.org>\nDescription: test\n");
    auto deb = downloads_ / "tool_1.0_all.deb";
    ASSERT_EQ(run({"dpkg-deb", "--root-owner-group", "-b", (work_ / "deb-tree").string(), deb.string()}), 0);
    auto package = downloads_ / "Installer.pkg";
    writeFile(package, "xar!");
    const std::string stopped = "Found a PKG; not deleting or unmounting to allow package to run ";
    for (const auto& [opened, message] : {std::pair {deb, "Found a DEB file"}, std::pair {package, "Found a PKG file"}}) {
        SCOPED_TRACE(opened.filename());
        fs::remove(markers_ / "xdg-open");
        EXPECT_EQ(describe(handle(opened, folder_)), completedWith({opened}));
        EXPECT_TRUE(eventually([&] { return readFile(markers_ / "xdg-open") == opened.string(); }));
        EXPECT_TRUE(eventually([&] { return logged(stopped) == (opened == deb ? 1u : 2u); }));
        EXPECT_TRUE(fs::exists(opened));
        EXPECT_FALSE(fs::exists(applications_ / opened.filename()));
        EXPECT_EQ(center_->posted("ACTIONLESS_MESSAGE").back(), std::string(message) + " | Searching for applications in " + opened.string());
    }

    // One on an image with an application: the image stays attached, the download in place; the application is copied.
    fs::remove(markers_ / "xdg-open");
    auto image = makeDownload("Bundle.dmg", {"Bundled.pkg", "Tool.app"});
    auto outcome = handle(image, folder_);
    ASSERT_TRUE(completed(outcome));
    EXPECT_EQ(std::get<Outcome::Completed>(outcome->value).copiedApplications.size(), 2u);
    EXPECT_TRUE(eventually([&] { return logged(stopped) == 3; }));
    EXPECT_TRUE(fs::exists(applications_ / "Tool.app"));
    EXPECT_TRUE(eventually([&] { return fs::exists(markers_ / "xdg-open"); }));
    EXPECT_EQ(attachedVolumes(), 1u);
    EXPECT_TRUE(fs::exists(image));
    EXPECT_EQ(logged("Unmount action completed"), 0u);

    // One from an archive keeps the working folder it was extracted to.
    auto archive = makeDownload("Bundled.zip", {"Bundled.pkg"});
    outcome = handle(archive, folder_);
    ASSERT_TRUE(completed(outcome));
    auto extracted = std::get<Outcome::Completed>(outcome->value).copiedApplications.at(0).path();
    EXPECT_TRUE(eventually([&] { return logged(stopped) == 4; }));
    EXPECT_TRUE(fs::exists(extracted));
    EXPECT_THAT(workingFolders(), ::testing::Contains(extracted.parent_path().filename().string()));
    EXPECT_TRUE(fs::exists(archive));
}

TEST_F(FileHandlerTest, AppImagesBareOrInAnArchiveAreCopiedExecutableWithALauncherEntry)
{
    AppImageInstallation installation(std::getenv("XDG_DATA_HOME"));
    makeAppImage(downloads_ / "editor-latest", "editor"); // a name that hides what it is
    fs::permissions(downloads_ / "editor-latest", fs::perms(0664));
    makeAppImage(work_ / "tar-tree/Viewer.AppImage", "viewer");
    ASSERT_EQ(run({"tar", "-czf", (downloads_ / "Viewer.tar.gz").string(), "-C", (work_ / "tar-tree").string(), "Viewer.AppImage"}), 0);

    for (const auto& [download, name] : {std::pair {"editor-latest", "editor-latest"}, {"Viewer.tar.gz", "Viewer.AppImage"}}) {
        SCOPED_TRACE(download);
        auto copy = applications_ / name;
        EXPECT_EQ(describe(handle(downloads_ / download, folder_)), completedWith({copy}));
        EXPECT_NE(fs::status(copy).permissions() & fs::perms::owner_exec, fs::perms::none);
        EXPECT_THAT(readFile(installation.entryPath(copy)), ::testing::HasSubstr("\nExec=\"" + copy.string() + "\" --start %U\n"));
        EXPECT_TRUE(eventually([&] { return logs_.contains(log::Level::debug, "Opened application at " + copy.string()); })) << "the copy was not run";
        EXPECT_TRUE(eventually([&] { return fs::exists(trashFiles() / download) && !fs::exists(downloads_ / download); }));
        EXPECT_TRUE(eventually([&] { return workingFolders().empty(); }));
    }
    EXPECT_EQ(center_->posted("ACTIONLESS_MESSAGE").front(), "Found an AppImage file | Searching for applications in " + (downloads_ / "editor-latest").string());
}

TEST_F(FileHandlerTest, FilesThatCannotBeHandledReportAndLogErrorsKeepTheFileAndAskNothing)
{
    auto text = downloads_ / "notes.txt", gone = downloads_ / "Gone.zip", broken = downloads_ / "Broken.zip";
    writeFile(text, "just text");
    writeFile(broken, "not an archive");

    // No destination is checked before the type, and nothing is asked.
    auto withoutDestination = configurations_->fileSourceConfigurations()[1];
    ASSERT_TRUE(withoutDestination->fileFoundAction().store(FileFoundActionOption::alwaysAsk).ok());
    EXPECT_EQ(handlerError(handle(text, withoutDestination))->errorCode(), FileHandler::Error::Code::configurationDoesNotIncludeDestination);
    EXPECT_EQ(handlerError(handle(text, folder_))->fileType(), FileType("public.plain-text"));
    // Named as a package without being one: not handled.
    writeFile(downloads_ / "fake.rpm", "<html>not found</html>");
    EXPECT_EQ(handlerError(handle(downloads_ / "fake.rpm", folder_))->errorCode(), FileHandler::Error::Code::unsupportedFileType);
    auto goneOutcome = handle(gone, folder_);
    // An archive that does not open fails the search: shown, nothing left behind.
    auto brokenOutcome = handle(broken, folder_);
    EXPECT_EQ(center_->posted("ERROR_OCCURRED").size(), 1u);
    EXPECT_TRUE(workingFolders().empty());

    // Without a usable service proxy the search cannot start.
    FileHandler::Services noProxy;
    noProxy.connectToDiskImageService = [](service::ServiceErrorHandler) { return nullptr; };
    EXPECT_EQ(handlerError(handle(makeDownload("Example.zip", {"Example.app"}), folder_, noProxy))->errorCode(), FileHandler::Error::Code::failedToCastXPCService);
    // A service that cannot be started fails the search instead of leaving it waiting.
    FileHandler::Services unreachable;
    unreachable.diskImageServiceName = missingServiceName;
    auto image = makeDownload("Example.dmg", {"Example.app"});
    auto unreachableOutcome = handle(image, folder_, unreachable);
    EXPECT_EQ(logged("XPC error: The disk image service could not be started"), 1u);

    // No working folder can be made where the temporary folder is a link.
    fs::remove_all(environment_.temporaryFolder());
    fs::create_directory_symlink(work_.path(), environment_.temporaryFolder());
    auto noFolder = handle(broken, folder_);
    EXPECT_EQ(center_->posted("ERROR_OCCURRED").size(), 3u);
    fs::remove(environment_.temporaryFolder());

    EXPECT_TRUE(center_->posted("FOUND_FILE").empty() && center_->posted("FOUND_FILE_WITHOUT_IGNORE").empty());
    for (const auto& kept : {text, broken, downloads_ / "Example.zip", image}) EXPECT_TRUE(fs::exists(kept)) << kept;
    for (const auto& outcome : {goneOutcome, brokenOutcome, unreachableOutcome, noFolder}) ASSERT_TRUE(outcome && outcome->failure()) << describe(outcome);
    for (const auto& [level, message] : {std::pair {log::Level::info, "Unsupported file at " + text.string() + "; type public.plain-text is unsupported"},
             {log::Level::error, "Failed to get resource values for " + gone.string() + ": " + goneOutcome->failure()->description()},
             {log::Level::error, "Error handling file at " + broken.string() + ": " + brokenOutcome->failure()->description()},
             {log::Level::error, "Error handling file at " + image.string() + ": " + unreachableOutcome->failure()->description()},
             {log::Level::error, "Failed to create temp directory " + noFolder->failure()->description()}})
        EXPECT_TRUE(logs_.contains(level, message)) << message;
}

TEST_F(FileHandlerTest, TheFileFoundChoiceAndItsQuestionDecideWhatHappens)
{
    auto archive = makeDownload("Example.zip", {"Example.app"});
    ASSERT_TRUE(folder_->fileFoundAction().store(FileFoundActionOption::alwaysAsk).ok());
    for (const auto& [answer, expected] : std::vector<std::pair<std::string, std::string>> {
             {"IGNORE_FILE_ACTION", "ignored"}, {"dismiss", "dismissed"}, {"SOMETHING_ELSE", "error(Unknown response to file found notification: SOMETHING_ELSE)"}}) {
        std::thread user([&] { EXPECT_TRUE(center_->answer("FOUND_FILE", answer)) << answer; });
        EXPECT_EQ(describe(handle(archive, folder_)), expected);
        user.join();
    }
    EXPECT_EQ(center_->posted("FOUND_FILE").front(), "Found ZIP | Choose how to handle ZIP at " + archive.string());
    EXPECT_FALSE(fs::exists(applications_ / "Example.app"));
    EXPECT_TRUE(workingFolders().empty());

    // A dropped file of a source that ignores files is reported ignored, unasked.
    ASSERT_TRUE(appIcon_->fileFoundAction().store(FileFoundActionOption::ignore).ok());
    EXPECT_EQ(describe(handle(archive, appIcon_)), "ignored");
    EXPECT_EQ(center_->posted().size(), 3u);

    // A dropped file is asked about without the Ignore answer.
    ASSERT_TRUE(appIcon_->fileFoundAction().store(FileFoundActionOption::alwaysAsk).ok());
    std::thread user([&] { EXPECT_TRUE(center_->answer("FOUND_FILE_WITHOUT_IGNORE", "FIND_APPLICATIONS_ACTION")); });
    EXPECT_TRUE(completed(handle(archive, appIcon_)));
    user.join();
    EXPECT_TRUE(fs::exists(applications_ / "Example.app"));
    EXPECT_TRUE(eventually([&] { return fs::exists(trashFiles() / "Example.zip"); }));

    // A waiting question holds the file's handling (its source's holders show
    // it) but not its handler; an answer after the handler went starts nothing.
    fs::create_directories(work_ / "Later");
    auto added = configurations_->addFolder(URL::fileURL(work_ / "Later"), folder_->destinationBookmarkUUID().currentValue());
    ASSERT_TRUE(added.ok()) << added.error()->description();
    auto source = *added;
    ASSERT_TRUE(source->fileFoundAction().store(FileFoundActionOption::alwaysAsk).ok());
    auto late = makeDownload("Late.zip", {"Late.app"}, work_ / "Later");
    auto sourceHolders = source.use_count();
    auto asked = center_->posted("FOUND_FILE").size();
    CompletionRecorder<Outcome> unanswered;
    auto handler = makeHandler();
    std::weak_ptr<FileHandler> releasedHandler = handler;
    handler->handleFile(URL::fileURL(late), source, unanswered.completion());
    ASSERT_TRUE(eventually([&] { return center_->posted("FOUND_FILE").size() == asked + 1; }));
    EXPECT_GT(source.use_count(), sourceHolders) << "the handling waits for its answer";
    handler.reset();
    EXPECT_TRUE(releasedHandler.expired());
    EXPECT_TRUE(center_->answer("FOUND_FILE", "FIND_APPLICATIONS_ACTION"));
    EXPECT_TRUE(eventually([&] { return source.use_count() == sourceHolders; }));
    EXPECT_FALSE(fs::exists(applications_ / "Late.app"));
    EXPECT_TRUE(fs::exists(late));
    EXPECT_TRUE(workingFolders().empty());
    EXPECT_EQ(unanswered.count(), 0u);
}

TEST_F(FileHandlerTest, AFileWhoseQuestionsWereClosedUnansweredIsReportedDismissed)
{
    // Without a notification server or a terminal, the questions about two
    // applications (through the process's own performer) close unanswered.
    auto archive = makeDownload("Two.zip", {"One.app", "Two.app"});
    ASSERT_TRUE(folder_->applicationFoundAction().store(ApplicationFoundActionOption::askWhenMultipleFound).ok());
    CompletionRecorder<Outcome> outcomes;
    auto handler = makeHandler();
    handler->handleFile(URL::fileURL(archive), folder_, outcomes.completion());
    // The closing alerts run on the main queue.
    ASSERT_TRUE(dispatch::MainRunLoop::runUntil([&] { return outcomes.count() > 0; }, 120s));
    EXPECT_EQ(describe(outcomes.wait()), "dismissed");
    EXPECT_TRUE(logged("Chose not to copy application at "));
    EXPECT_FALSE(fs::exists(applications_ / "One.app") || fs::exists(applications_ / "Two.app"));
    EXPECT_TRUE(eventually([&] { return workingFolders().empty(); }));
    EXPECT_TRUE(fs::exists(archive)) << "nothing copied, so the download stays";
    // The process's notification center must not outlive the test's bus.
    static_cast<notifications::FreedesktopNotificationCenter&>(*notifications::FreedesktopNotificationCenter::current()).disconnect();
}

TEST_F(FileHandlerTest, DetachesThatFailOrAreNeverAnsweredStillLeadToTheTrashStep)
{
    // Detaches that cannot start, time out or are never answered: only one that is over frees the working folder.
    auto silent = std::make_shared<Recorder<service::UnmountDMGResponse>>();
    using Detach = std::function<void(service::ServiceErrorHandler, const URL&, service::UnmountDMGResponse)>;
    const std::tuple<std::string, Detach, std::string, bool> cases[] = {
        {"unreachable", [](auto handler, const URL& path, auto response) { serviceNamed(missingServiceName, std::move(handler))->unmountDMGWithMountPath(path, std::move(response)); }, "XPC error: ", false},
        {"timedout", [](auto handler, const URL&, auto) { handler(service::ServiceConnectionError::make(service::ServiceConnectionError::Reason::timedOut, "no reply")); }, "Failed to unmount DMG: ", true},
        {"silent", [silent](auto, const URL&, auto response) { silent->add(std::move(response)); }, "Requesting duvrin service to unmount DMG at ", true},
    };
    size_t kept = 0;
    for (const auto& [name, detach, entry, workingFolderKept] : cases) {
        SCOPED_TRACE(name);
        auto services = scripted([](const URL&) { return realServiceName; }, detach);
        services.detachTimeout = 500ms;
        // The image's application is in a ZIP archive on it, so the search leaves a working folder.
        auto image = makeDownload(name + ".dmg", {name + ".zip"}, {}, {{name + ".zip", {name + ".app"}}});
        EXPECT_TRUE(completed(handle(image, folder_, services)));
        EXPECT_TRUE(eventually([&] { return !fs::exists(image) && fs::exists(trashFiles() / (name + ".dmg")); }));
        EXPECT_GT(logged(entry), 0u);
        if (workingFolderKept) {
            EXPECT_TRUE(eventually([&, kept = ++kept] { return logged("Keeping ") == kept; }));
            EXPECT_EQ(workingFolders().size(), 1u);
            for (const auto& folder : workingFolders()) fs::remove_all(environment_.temporaryFolder() / folder);
        } else {
            EXPECT_TRUE(eventually([&] { return workingFolders().empty(); }));
        }
    }
    EXPECT_EQ(silent->all().size(), 1u);
}

TEST_F(FileHandlerTest, EveryImageTheSearchAttachedIsDetachedWhateverItFoundBeforeTheDownloadIsTrashed)
{
    // Two applications from one image: its detach is requested twice (which of
    // the two finds it attached is up to the service), and both are answered.
    auto two = makeDownload("Two.dmg", {"First.app", "Second.app"});
    auto outcome = handle(two, folder_);
    ASSERT_TRUE(completed(outcome));
    EXPECT_EQ(std::get<Outcome::Completed>(outcome->value).copiedApplications.size(), 2u);
    EXPECT_TRUE(eventually([&] { return fs::exists(markers_ / "Second"); })) << "the copy was not opened";
    EXPECT_TRUE(eventually([&] { return fs::exists(trashFiles() / "Two.dmg") && !fs::exists(two); }));
    EXPECT_TRUE(mountsFolderEmpty()) << "detached, and the mount point removed, before the trash step";
    EXPECT_EQ(logged("Unmount action completed"), 2u);

    // Nothing on the image: detached, its mount point removed, the download kept.
    auto empty = makeDownload("Empty.dmg", {"ReadMe.txt"});
    EXPECT_EQ(describe(handle(empty, folder_)), "completed([])");
    EXPECT_TRUE(eventually([&] { return mountsFolderEmpty() && logged("Unmount action completed") == 3; }));
    EXPECT_TRUE(fs::exists(empty));

    // Nested images that hold nothing, are no image, or cannot be reached add
    // nothing; every attached image is detached before the download is trashed.
    auto image = makeDownload("Outer.dmg", {"Outer.app", "NoImage.dmg", "Nothing.dmg", "Lost.dmg"}, {}, {{"Nothing.dmg", {"ReadMe.txt"}}, {"Lost.dmg", {"Lost.app"}}});
    auto services = scripted([](const URL& dmg) { return dmg.lastPathComponent() == "Lost.dmg" ? missingServiceName : realServiceName; },
        [](auto handler, const URL& path, auto response) { serviceNamed(realServiceName, handler)->unmountDMGWithMountPath(path, std::move(response)); });
    EXPECT_EQ(describe(handle(image, folder_, services)), completedWith({applications_ / "Outer.app"}));
    EXPECT_EQ(logged("XPC error: The disk image service could not be started"), 1u);
    EXPECT_TRUE(eventually([&] { return !fs::exists(image) && fs::exists(trashFiles() / "Outer.dmg"); }));
    // Outer.dmg and Nothing.dmg, before the trash step; the two failed attaches' mount points stay empty.
    EXPECT_EQ(attachedVolumes(), 0u);
    EXPECT_EQ(logged("Requesting duvrin service to unmount DMG at " + (environment_.mountsFolder() / "Nothing.dmg_").string()), 1u);
    EXPECT_EQ(logged("Unmount action completed"), 5u);
    EXPECT_TRUE(eventually([&] { return workingFolders().empty(); }));

    // A search that fails after attaching (a mount point that cannot be walked) detaches what it attached.
    auto calls = std::make_shared<Recorder<std::string>>();
    FileHandler::Services vanishing;
    vanishing.connectToDiskImageService = [calls](service::ServiceErrorHandler) {
        auto service = std::make_shared<ScriptedService>();
        service->mount = [calls](const URL&, const URL& mountPoint, service::MountDMGResponse response) {
            calls->add("attached " + mountPoint.path().string());
            response(mountPoint.appendingPathComponent("vanished", true), nullptr);
        };
        service->unmount = [calls](const URL& mountPath, service::UnmountDMGResponse response) {
            calls->add("detached " + mountPath.path().parent_path().string());
            response(nullptr);
        };
        return service;
    };
    auto failing = makeDownload("Vanishing.dmg", {"Vanishing.app"});
    EXPECT_TRUE(handle(failing, folder_, vanishing)->failure());
    EXPECT_TRUE(eventually([&] { return logged("Unmount action completed") == 6; }));
    auto attachedThenDetached = calls->all();
    ASSERT_EQ(attachedThenDetached.size(), 2u);
    EXPECT_EQ(attachedThenDetached[1], "detached " + attachedThenDetached[0].substr(std::string("attached ").size()));
    EXPECT_TRUE(fs::exists(failing));
}

TEST_F(FileHandlerTest, LinksAreTrashedThemselvesAndTheirTargetsStayWhereTheyAre)
{
    auto kept = makeDownload("Kept.zip", {"Kept.app"}, work_ / "Elsewhere");
    auto handed = makeDownload("Handed.zip", {"Handed.app"}, work_ / "Elsewhere");

    // A link in a watched folder: its watcher hands over the link's target,
    // which lies outside the folder and so is not trashed; the link stays.
    fs::create_symlink(kept, downloads_ / "kept-link.zip");
    auto handler = makeHandler();
    auto manager = FileWatchersManager::make(handler, configurations_, destinations_, log::Logger("app.tavik.Tavik", "File Watchers Manager"), userDefaults_, std::make_shared<progress::FileProgressService>());
    manager->startWatching();
    EXPECT_TRUE(eventually([&] { return manager->handledFileBookmarks().currentValue().size() == 1; }, 120s));
    EXPECT_TRUE(handler->waitUntilIdle(120s));
    EXPECT_TRUE(fs::exists(applications_ / "Kept.app"));
    EXPECT_TRUE(logs_.contains(log::Level::info, "Not trashing " + kept.string() + ": it is not in the watched folder"));
    EXPECT_TRUE(fs::is_regular_file(kept));
    EXPECT_TRUE(fs::is_symlink(downloads_ / "kept-link.zip"));
    manager.reset();

    // A link handed over (as `tavik open LINK` does): searched through, then
    // the link itself goes to the trash.
    auto link = downloads_ / "handed-link.zip";
    fs::create_symlink(handed, link);
    EXPECT_TRUE(completed(handle(link, appIcon_)));
    EXPECT_TRUE(fs::exists(applications_ / "Handed.app"));
    EXPECT_TRUE(eventually([&] { return fs::is_symlink(trashFiles() / "handed-link.zip"); }));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_TRUE(fs::is_regular_file(handed));
}

} // namespace
