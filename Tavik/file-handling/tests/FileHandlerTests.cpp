// The file handler end to end: real configurations in a defaults suite, real
// ZIP archives and disk images, duvrin-xpc started by a private session bus
// with the hdiutil stand-in, the real workspace and the desktop trash. Only
// the notification center is scripted, so that tests can answer questions.
#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "Tavik/file-handling/AppImageInstallation.hpp"
#include "Tavik/file-handling/FileHandler.hpp"
#include "Tavik/file-handling/tests/SearchFixtures.hpp"
#include "Tavik/folder-watching/FileWatchersManager.hpp"
#include "Tavik/prompts/UserInputRequestPerformer.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/dispatch/MainRunLoop.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/notifications/FreedesktopNotificationCenter.hpp"
#include "platform/notifications/NotificationCenter.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

using namespace tavik;
using namespace tavik::testing;
using namespace tavik::options;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Outcome = FileHandler::FileOutcome;

namespace {

// The trash lives under the data home, which GLib reads once per process, and
// the defaults under the config home: both go to a private home first.
class PrivateHome : public ::testing::Environment {
    void SetUp() override
    {
        scratch_.emplace("tavik-handler-home");
        home_ = scratch_->path();
        for (auto [name, folder] : {std::pair {"HOME", ""}, {"XDG_DATA_HOME", "data"}, {"XDG_CONFIG_HOME", "config"}})
            setenv(name, (home_ / folder).c_str(), 1);
    }
    void TearDown() override { scratch_.reset(); }
    std::optional<ScratchFolder> scratch_;
    fs::path home_;
};
const auto* const privateHome = ::testing::AddGlobalTestEnvironment(new PrivateHome);

fs::path trashFiles() { return fs::path(std::getenv("XDG_DATA_HOME")) / "Trash/files"; }

// A notification center that grants everything, records what was posted and
// lets the test answer it as the user would.
class AnsweringNotificationCenter final : public notifications::NotificationCenter {
public:
    void setDelegate(std::weak_ptr<notifications::NotificationCenterDelegate> delegate) override
    {
        std::lock_guard lock(mutex_);
        delegate_ = std::move(delegate);
    }
    void setNotificationCategories(std::vector<notifications::NotificationCategory>) override {}
    void getNotificationSettings(std::function<void(notifications::NotificationSettings)> completion) override
    {
        completion({notifications::AuthorizationStatus::authorized, notifications::NotificationSetting::enabled});
    }
    void requestAuthorization(unsigned, std::function<void(bool, ErrorPtr)> completion) override { completion(true, nullptr); }
    void addNotificationRequest(notifications::NotificationRequest request, std::function<void(ErrorPtr)> completion) override
    {
        {
            std::lock_guard lock(mutex_);
            posted_.push_back(std::move(request));
        }
        completion(nullptr);
    }
    void removeAllDeliveredNotifications() override {}
    void removeAllPendingNotificationRequests() override {}

    std::vector<notifications::NotificationContent> posted() const
    {
        std::lock_guard lock(mutex_);
        std::vector<notifications::NotificationContent> contents;
        for (const auto& request : posted_)
            contents.push_back(request.content);
        return contents;
    }
    // Answers the next question of the category, once it is there, with the action.
    bool answer(const std::string& category, const std::string& actionIdentifier)
    {
        std::optional<notifications::NotificationRequest> request;
        std::shared_ptr<notifications::NotificationCenterDelegate> delegate;
        eventually([&] {
            std::lock_guard lock(mutex_);
            size_t seen = 0;
            for (const auto& candidate : posted_)
                if (candidate.content.categoryIdentifier == category && seen++ == answered_[category])
                    request = candidate;
            delegate = delegate_.lock();
            return request && delegate && ++answered_[category];
        });
        if (request && delegate)
            delegate->didReceiveNotificationResponse({{*request}, actionIdentifier}, [] {});
        return request && delegate;
    }

private:
    mutable std::mutex mutex_;
    std::weak_ptr<notifications::NotificationCenterDelegate> delegate_;
    std::vector<notifications::NotificationRequest> posted_;
    std::map<std::string, size_t> answered_;
};

// Collects the outcomes reported for a file.
struct OutcomeWaiter {
    FileHandler::Completion completion()
    {
        return [this](Outcome outcome) {
            std::lock_guard lock(mutex);
            outcomes.push_back(std::move(outcome));
        };
    }
    std::optional<Outcome> wait()
    {
        if (!eventually([&] { std::lock_guard lock(mutex); return !outcomes.empty(); }, 120s))
            return std::nullopt;
        std::lock_guard lock(mutex);
        return outcomes.front();
    }
    std::mutex mutex;
    std::vector<Outcome> outcomes;
};

const FileHandler::Error* handlerError(const Outcome& outcome)
{
    return dynamic_cast<const FileHandler::Error*>(outcome.failure().get());
}

// A disk image service whose two calls do what the test says.
class ScriptedService final : public service::DuvrinXPCServiceProtocol {
public:
    using Mount = std::function<void(const URL& dmg, const URL& mountPoint, service::MountDMGResponse)>;
    using Unmount = std::function<void(const URL& mountPath, service::UnmountDMGResponse)>;
    ScriptedService(Mount mount, Unmount unmount)
        : mount_(std::move(mount))
        , unmount_(std::move(unmount))
    {
    }
    void mountDMG(const URL& dmg, const URL& mountPoint, service::MountDMGResponse response) override
    {
        mount_(dmg, mountPoint, std::move(response));
    }
    void unmountDMGWithMountPath(const URL& mountPath, service::UnmountDMGResponse response) override
    {
        unmount_(mountPath, std::move(response));
    }

private:
    Mount mount_;
    Unmount unmount_;
};

// The real service, or one of that name that is not there.
std::shared_ptr<service::DuvrinXPCServiceProtocol> serviceNamed(const char* name, service::ServiceErrorHandler handler)
{
    return service::DuvrinXPCConnection(service::DuvrinXPCConnection::Options {name}).remoteObjectProxyWithErrorHandler(std::move(handler));
}
const char* const realServiceName = "app.tavik.DuvrinXPC";
const char* const missingServiceName = "app.tavik.NoSuchService";

// Attaches through the real service.
ScriptedService::Mount realMount(service::ServiceErrorHandler handler)
{
    return [handler](const URL& dmg, const URL& mountPoint, service::MountDMGResponse response) {
        serviceNamed(realServiceName, handler)->mountDMG(dmg, mountPoint, std::move(response));
    };
}

class FileHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Folders the workspace and the service can see: the stand-in for
        // xdg-open records what it was asked to open.
        fs::create_directories(bin_);
        writeFile(bin_ / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + (markers_ / "xdg-open").string() + "'\n");
        fs::permissions(bin_ / "xdg-open", fs::perms(0755));
        fs::create_directories(markers_);
        setenv("PATH", (bin_.string() + ":" + std::getenv("PATH")).c_str(), 1);
        writeFile(services_ / "app.tavik.DuvrinXPC.service",
            std::string("[D-BUS Service]\nName=app.tavik.DuvrinXPC\nExec=") + TAVIK_DUVRIN_XPC + " --idle-timeout 5\n");
        bus_ = std::make_unique<PrivateSessionBus>(PrivateSessionBus::Options {{services_.path()},
            {{"PATH", std::getenv("PATH")}, {"TMPDIR", std::getenv("TMPDIR")}, {"XDG_RUNTIME_DIR", std::getenv("XDG_RUNTIME_DIR")},
                {"TAVIK_LOG", "stderr"}}});

        fs::create_directories(downloads_);
        fs::create_directories(applications_);
        userDefaults_ = defaults::UserDefaults::suite("app.tavik.Tavik.test-" + UUID().uuidString());
        destinations_ = std::make_shared<ApplicationsDestinationManager>(userDefaults_);
        configurations_ = FileSourceConfigurationsManager::make(userDefaults_);
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
        performer_->registerCategories();
    }

    void TearDown() override
    {
        // A test that leaves an image attached detaches it here.
        auto mounts = environment_.mountsFolder();
        std::error_code ignored;
        if (!fs::exists(mounts, ignored))
            return;
        auto proxy = service::DuvrinXPCConnection().remoteObjectProxyWithErrorHandler([](ErrorPtr) {});
        for (const auto& entry : fs::directory_iterator(mounts, ignored))
            proxy->unmountDMGWithMountPath(URL::fileURL(entry.path(), true), [path = entry.path()](ErrorPtr error) {
                std::error_code notEmpty;
                if (!error)
                    fs::remove(path, notEmpty);
            });
        eventually([&] { return fs::is_empty(mounts, ignored); }, 10s);
    }

    std::shared_ptr<FileHandler> makeHandler(FileHandler::Services services = {})
    {
        services.userInputRequestPerformer = performer_;
        return std::make_shared<FileHandler>(destinations_, log::Logger("app.tavik.Tavik", "File Handler"), std::move(services));
    }

    // An application bundle whose executable leaves a marker when it runs.
    void makeMarkingBundle(const fs::path& bundle)
    {
        auto name = bundle.stem().string();
        writeFile(bundle / "Contents/Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>CFBundleExecutable</key><string>" + name
                + "</string></dict></plist>\n");
        writeFile(bundle / "Contents/MacOS" / name, "#!/bin/sh\necho opened > '" + (markers_ / name).string() + "'\n");
        fs::permissions(bundle / "Contents/MacOS" / name, fs::perms(0755));
    }

    // A ZIP archive or disk image in the downloads folder holding these
    // items (applications are made as bundles, anything else as a file).
    // Items that are keys of `nested` are made as images or archives of
    // their own, holding the items given there.
    fs::path makeDownload(const std::string& name, const std::vector<std::string>& items, fs::path folder = {},
        const std::map<std::string, std::vector<std::string>>& nested = {})
    {
        if (folder.empty())
            folder = downloads_;
        auto tree = work_ / ("tree-" + name);
        fs::create_directories(tree);
        for (const auto& item : items) {
            if (auto inner = nested.find(item); inner != nested.end())
                makeDownload(item, inner->second, tree);
            else
                item.ends_with(".app") ? makeMarkingBundle(tree / item) : writeFile(tree / item, "xar!");
        }
        fs::create_directories(folder);
        if (name.ends_with(".dmg"))
            makeDiskImage(tree, folder / name);
        else
            EXPECT_EQ(run({"zip", "-qry", (folder / name).string(), "."}, tree), 0);
        return folder / name;
    }

    std::optional<Outcome> handle(const fs::path& file, const FileSourceConfigurationPtr& configuration,
        FileHandler::Services services = {})
    {
        OutcomeWaiter waiter;
        // Kept alive meanwhile: the answer to a question reaches only a handler that still exists.
        auto handler = makeHandler(std::move(services));
        handler->handleFile(URL::fileURL(file), configuration, waiter.completion());
        auto outcome = waiter.wait();
        std::this_thread::sleep_for(50ms); // a second report would show by now
        std::lock_guard lock(waiter.mutex);
        EXPECT_EQ(waiter.outcomes.size(), 1u);
        return outcome;
    }

    // What is left in the process's temporary folder besides "mounts".
    std::vector<std::string> workingFolders() const
    {
        std::vector<std::string> names;
        auto temporary = environment_.mountsFolder().parent_path();
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(temporary, ignored))
            if (entry.path().filename() != "mounts")
                names.push_back(entry.path().filename().string());
        return names;
    }

    bool mountsFolderEmpty() const
    {
        std::error_code ignored;
        return !fs::exists(environment_.mountsFolder(), ignored) || fs::is_empty(environment_.mountsFolder(), ignored);
    }

    // The mount points that hold anything: a volume still attached.
    std::vector<std::string> attachedVolumes() const
    {
        std::vector<std::string> names;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(environment_.mountsFolder(), ignored))
            if (!fs::is_empty(entry.path(), ignored))
                names.push_back(entry.path().filename().string());
        return names;
    }

    size_t loggedCount(const std::string& prefix) const
    {
        size_t count = 0;
        for (const auto& entry : logs_.entries())
            count += entry.message.starts_with(prefix);
        return count;
    }
    bool logged(const std::string& prefix) const { return loggedCount(prefix) > 0; }

    // "title | body" of what was posted in the category.
    std::vector<std::string> posted(const std::string& category) const
    {
        std::vector<std::string> titles;
        for (const auto& content : center_->posted())
            if (content.categoryIdentifier == category)
                titles.push_back(content.title + " | " + content.body);
        return titles;
    }

    SearchEnvironment environment_;
    ScratchFolder work_;
    ScratchFolder services_;
    fs::path bin_ = work_ / "bin";
    fs::path markers_ = work_ / "markers";
    fs::path downloads_ = work_ / "Downloads";
    fs::path applications_ = work_ / "Applications";
    std::unique_ptr<PrivateSessionBus> bus_;
    log::LogCapture logs_;
    std::shared_ptr<AnsweringNotificationCenter> center_ = std::make_shared<AnsweringNotificationCenter>();
    std::shared_ptr<UserInputRequestPerformer> performer_ = std::make_shared<UserInputRequestPerformer>(center_);
    std::shared_ptr<defaults::UserDefaults> userDefaults_;
    std::shared_ptr<ApplicationsDestinationManager> destinations_;
    std::shared_ptr<FileSourceConfigurationsManager> configurations_;
    FileSourceConfigurationPtr folder_;
    FileSourceConfigurationPtr appIcon_;
};

} // namespace

TEST_F(FileHandlerTest, ZipWithOneApplicationIsCopiedOpenedAndTrashedAndItsWorkingFolderRemoved)
{
    auto archive = makeDownload("Example.zip", {"Example.app"});
    auto outcome = handle(archive, folder_);
    ASSERT_TRUE(outcome);
    auto copy = applications_ / "Example.app";
    EXPECT_EQ(outcome->description(), "completed([" + URL::fileURL(copy, true).description() + "])");
    EXPECT_TRUE(fs::is_regular_file(copy / "Contents/MacOS/Example"));
    EXPECT_TRUE(eventually([&] { return fs::exists(markers_ / "Example"); })) << "the copy was not opened";
    EXPECT_TRUE(eventually([&] { return !fs::exists(archive) && fs::exists(trashFiles() / "Example.zip"); }));
    EXPECT_TRUE(eventually([&] { return workingFolders().empty(); }));
    EXPECT_EQ(posted("ACTIONLESS_MESSAGE").front(), "Found a ZIP file | Searching for applications in " + archive.string());
    EXPECT_TRUE(logs_.contains(log::Level::defaultLevel, "Found ZIP archive at " + archive.string()));
    EXPECT_TRUE(logs_.contains(log::Level::info, "Found 1 application(s)"));
    EXPECT_TRUE(logs_.contains(log::Level::debug, "Applications were found in DMG mountpoints: []"));
    EXPECT_TRUE(eventually([&] { return logs_.contains(log::Level::info, "Trashed handled file from " + archive.string()); }));
    EXPECT_TRUE(eventually([&] { return logs_.contains(log::Level::info, "Completed opening applications"); }));
}

// An extracted bundle is moved out of the working folder rather than copied:
// what lands in the destination must be what a copy gives.
TEST_F(FileHandlerTest, ZipBundleLandsWithTheModesLinksAndTimesOfACopy)
{
    auto tree = work_ / "tree-Kept.zip";
    auto bundle = tree / "Kept.app";
    makeMarkingBundle(bundle);
    writeFile(bundle / "Contents/Resources/shared.txt", "shared");
    fs::permissions(bundle / "Contents/Resources/shared.txt", fs::perms(0666));
    fs::create_symlink("../Info.plist", bundle / "Contents/Resources/Info link");
    // ZIP archives keep times to the second.
    auto shownTime = fs::file_time_type::clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(1600000000)));
    fs::last_write_time(bundle / "Contents/Resources/shared.txt", shownTime);
    auto archive = downloads_ / "Kept.zip";
    ASSERT_EQ(run({"zip", "-qry", archive.string(), "."}, tree), 0);

    auto outcome = handle(archive, folder_);
    ASSERT_TRUE(outcome);
    auto copy = applications_ / "Kept.app";
    EXPECT_EQ(outcome->description(), "completed([" + URL::fileURL(copy, true).description() + "])");
    EXPECT_EQ(fs::status(copy / "Contents/MacOS/Kept").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(copy / "Contents/Resources/shared.txt").permissions(), fs::perms(0644));
    EXPECT_EQ(fs::last_write_time(copy / "Contents/Resources/shared.txt"), shownTime);
    EXPECT_EQ(fs::read_symlink(copy / "Contents/Resources/Info link"), "../Info.plist");
    EXPECT_TRUE(eventually([&] { return workingFolders().empty(); }));
}

TEST_F(FileHandlerTest, DiskImagesAreDetachedOncePerApplicationBeforeTheDownloadIsTrashed)
{
    auto image = makeDownload("Example.dmg", {"Example.app"});
    auto outcome = handle(image, folder_);
    ASSERT_TRUE(outcome && outcome->isCompleted()) << (outcome ? outcome->description() : "no outcome");
    EXPECT_TRUE(fs::is_regular_file(applications_ / "Example.app/Contents/Info.plist"));
    EXPECT_TRUE(eventually([&] { return fs::exists(markers_ / "Example"); }));
    EXPECT_TRUE(eventually([&] { return fs::exists(trashFiles() / "Example.dmg") && !fs::exists(image); }));
    EXPECT_TRUE(mountsFolderEmpty()); // detached, and the mount point removed, before the trash step
    EXPECT_TRUE(eventually([&] { return workingFolders().empty(); }));

    // Two applications from one image: its detach is requested twice (which
    // of the two finds it attached is up to the service), both are answered
    // and the download is trashed.
    outcome = handle(makeDownload("Two.dmg", {"First.app", "Second.app"}), folder_);
    ASSERT_TRUE(outcome && outcome->isCompleted()) << (outcome ? outcome->description() : "no outcome");
    EXPECT_EQ(std::get<Outcome::Completed>(outcome->value).copiedApplications.size(), 2u);
    EXPECT_TRUE(eventually([&] { return fs::exists(trashFiles() / "Two.dmg"); }));
    EXPECT_TRUE(mountsFolderEmpty());
    EXPECT_EQ(logs_.count("Unmount action completed"), 3u);
}

TEST_F(FileHandlerTest, PackagesAreOpenedInPlaceAndKeptAndStopTheCleanUp)
{
    auto tree = work_ / "deb-tree";
    writeFile(tree / "DEBIAN/control", "Package: tavik-test-tool\nVersion: 1.0\nArchitecture: all\nMaintainer: Test <t@example.org>\n"
                                       "Description: test\n");
    auto deb = downloads_ / "tool_1.0_all.deb";
    ASSERT_EQ(run({"dpkg-deb", "--root-owner-group", "-b", tree.string(), deb.string()}), 0);
    auto package = downloads_ / "Installer.pkg";
    writeFile(package, "xar!");
    const std::string stopped = "Found a PKG; not deleting or unmounting to allow package to run ";
    for (const auto& [opened, message] : {std::pair {deb, "Found a DEB file"}, std::pair {package, "Found a PKG file"}}) {
        SCOPED_TRACE(opened.filename());
        fs::remove(markers_ / "xdg-open");
        auto outcome = handle(opened, folder_);
        ASSERT_TRUE(outcome);
        EXPECT_EQ(outcome->description(), "completed([" + URL::fileURL(opened).description() + "])");
        EXPECT_TRUE(eventually([&] { return fs::exists(markers_ / "xdg-open"); }));
        EXPECT_EQ(readFile(markers_ / "xdg-open"), opened.string());
        EXPECT_TRUE(eventually([&] { return logs_.count(stopped) == (opened == deb ? 1u : 2u); }));
        EXPECT_TRUE(fs::exists(opened));
        EXPECT_FALSE(fs::exists(applications_ / opened.filename()));
        EXPECT_EQ(posted("ACTIONLESS_MESSAGE").back(), std::string(message) + " | Searching for applications in " + opened.string());
    }

    // Named as a package without being one: not handled.
    auto fake = downloads_ / "fake.rpm";
    writeFile(fake, "<html>not found</html>");
    auto outcome = handle(fake, folder_);
    ASSERT_TRUE(outcome && handlerError(*outcome));
    EXPECT_EQ(handlerError(*outcome)->errorCode(), FileHandler::Error::Code::unsupportedFileType);

    // One from an image that also holds an application: the image stays
    // attached and the download in place; the application is copied.
    fs::remove(markers_ / "xdg-open");
    auto image = makeDownload("Bundle.dmg", {"Bundled.pkg", "Tool.app"});
    outcome = handle(image, folder_);
    ASSERT_TRUE(outcome && outcome->isCompleted()) << (outcome ? outcome->description() : "no outcome");
    EXPECT_EQ(std::get<Outcome::Completed>(outcome->value).copiedApplications.size(), 2u);
    EXPECT_TRUE(eventually([&] { return logs_.count(stopped) == 3; }));
    EXPECT_TRUE(fs::exists(applications_ / "Tool.app"));
    EXPECT_TRUE(eventually([&] { return fs::exists(markers_ / "xdg-open"); }));
    EXPECT_FALSE(mountsFolderEmpty());
    EXPECT_TRUE(fs::exists(image));
    EXPECT_FALSE(logs_.contains(log::Level::info, "Unmount action completed"));

    // One from an archive keeps the working folder it was extracted to.
    auto archive = makeDownload("Bundled.zip", {"Bundled.pkg"});
    outcome = handle(archive, folder_);
    ASSERT_TRUE(outcome && outcome->isCompleted()) << (outcome ? outcome->description() : "no outcome");
    auto extracted = std::get<Outcome::Completed>(outcome->value).copiedApplications.at(0).path();
    EXPECT_TRUE(eventually([&] { return logs_.count(stopped) == 4; }));
    EXPECT_TRUE(fs::exists(extracted));
    EXPECT_THAT(workingFolders(), ::testing::Contains(extracted.parent_path().filename().string()));
    EXPECT_TRUE(fs::exists(archive));
}

TEST_F(FileHandlerTest, AppImagesAreCopiedExecutableWithLauncherEntryFromEveryShape)
{
    const fs::path dataHome = std::getenv("XDG_DATA_HOME");
    AppImageInstallation installation(dataHome);
    auto expectInstalled = [&](const std::string& name, const std::optional<Outcome>& outcome) {
        ASSERT_TRUE(outcome && outcome->isCompleted()) << (outcome ? outcome->description() : "no outcome");
        auto copy = applications_ / name;
        EXPECT_EQ(outcome->description(), "completed([" + URL::fileURL(copy).description() + "])");
        ASSERT_TRUE(fs::is_regular_file(copy));
        auto permissions = fs::status(copy).permissions();
        EXPECT_NE(permissions & fs::perms::owner_exec, fs::perms::none);
        EXPECT_EQ(permissions & (fs::perms::group_write | fs::perms::others_write), fs::perms::none);
        auto entry = readFile(installation.entryPath(copy));
        EXPECT_NE(entry.find("\nExec=\"" + copy.string() + "\" --start %U\n"), std::string::npos) << entry;
        EXPECT_NE(entry.find("\nTryExec=" + copy.string() + "\n"), std::string::npos) << entry;
        auto icon = dataHome / "icons/hicolor/32x32/apps" / (installation.entryPath(copy).stem().string() + ".png");
        EXPECT_TRUE(fs::is_regular_file(icon));
        EXPECT_TRUE(eventually([&] { return logs_.contains(log::Level::debug, "Opened application at " + copy.string()); }))
            << "the copy was not run";
    };

    // Downloaded as it is, with a name that hides what it is.
    auto direct = downloads_ / "editor-latest";
    makeAppImage(direct, "editor");
    fs::permissions(direct, fs::perms(0664));
    auto outcome = handle(direct, folder_);
    expectInstalled("editor-latest", outcome);
    EXPECT_EQ(posted("ACTIONLESS_MESSAGE").front(), "Found an AppImage file | Searching for applications in " + direct.string());
    EXPECT_TRUE(eventually([&] { return !fs::exists(direct) && fs::exists(trashFiles() / "editor-latest"); }));

    // Inside a compressed tar archive, and inside a ZIP archive.
    makeAppImage(work_ / "tar-tree/Viewer.AppImage", "viewer");
    auto tarball = downloads_ / "Viewer.tar.gz";
    ASSERT_EQ(run({"tar", "-czf", tarball.string(), "-C", (work_ / "tar-tree").string(), "Viewer.AppImage"}), 0);
    expectInstalled("Viewer.AppImage", handle(tarball, folder_));
    EXPECT_TRUE(eventually([&] { return fs::exists(trashFiles() / "Viewer.tar.gz"); }));
    EXPECT_TRUE(eventually([&] { return workingFolders().empty(); }));

    makeAppImage(work_ / "zip-tree/Player.AppImage", "player");
    auto zipped = downloads_ / "Player.zip";
    ASSERT_EQ(run({"zip", "-qj", zipped.string(), (work_ / "zip-tree/Player.AppImage").string()}), 0);
    expectInstalled("Player.AppImage", handle(zipped, folder_));

    // Its copy removed, the launcher entry goes at the next clean-up.
    auto entry = installation.entryPath(applications_ / "Player.AppImage");
    fs::remove(applications_ / "Player.AppImage");
    EXPECT_EQ(installation.removeStaleEntries(), 1u);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_TRUE(fs::exists(installation.entryPath(applications_ / "Viewer.AppImage")));
}

TEST_F(FileHandlerTest, FilesThatCannotBeHandledReportErrorsAndAskNothing)
{
    auto text = downloads_ / "notes.txt";
    writeFile(text, "just text");

    // No destination is checked before the type, and nothing is asked.
    auto withoutDestination = configurations_->fileSourceConfigurations()[1];
    ASSERT_TRUE(withoutDestination->fileFoundAction().store(FileFoundActionOption::alwaysAsk).ok());
    auto outcome = handle(text, withoutDestination);
    ASSERT_TRUE(outcome && handlerError(*outcome));
    EXPECT_EQ(handlerError(*outcome)->errorCode(), FileHandler::Error::Code::configurationDoesNotIncludeDestination);

    outcome = handle(text, folder_);
    ASSERT_TRUE(outcome && handlerError(*outcome));
    EXPECT_EQ(handlerError(*outcome)->fileType(), FileType("public.plain-text"));
    EXPECT_TRUE(logs_.contains(log::Level::info, "Unsupported file at " + text.string() + "; type public.plain-text is unsupported"));

    auto gone = downloads_ / "Gone.zip";
    outcome = handle(gone, folder_);
    ASSERT_TRUE(outcome && outcome->failure());
    EXPECT_TRUE(logs_.contains(log::Level::error,
        "Failed to get resource values for " + gone.string() + ": " + outcome->failure()->description()));

    // An archive that does not open fails the search: shown, kept, nothing left behind.
    auto broken = downloads_ / "Broken.zip";
    writeFile(broken, "not an archive");
    outcome = handle(broken, folder_);
    ASSERT_TRUE(outcome && outcome->failure());
    EXPECT_TRUE(logs_.contains(log::Level::error, "Error handling file at " + broken.string() + ": " + outcome->failure()->description()));
    EXPECT_EQ(posted("ERROR_OCCURRED").size(), 1u);
    EXPECT_TRUE(workingFolders().empty());

    // No working folder can be made where the temporary folder is a link.
    auto temporary = environment_.mountsFolder().parent_path();
    fs::remove_all(temporary);
    fs::create_directory_symlink(work_.path(), temporary);
    outcome = handle(broken, folder_);
    ASSERT_TRUE(outcome && outcome->failure());
    EXPECT_TRUE(logs_.contains(log::Level::error, "Failed to create temp directory " + outcome->failure()->description()));
    EXPECT_EQ(posted("ERROR_OCCURRED").size(), 2u);
    fs::remove(temporary);

    // Without a usable service proxy the search cannot start.
    FileHandler::Services noProxy;
    noProxy.connectToDiskImageService = [](service::ServiceErrorHandler) { return nullptr; };
    outcome = handle(makeDownload("Example.zip", {"Example.app"}), folder_, noProxy);
    ASSERT_TRUE(outcome && handlerError(*outcome));
    EXPECT_EQ(handlerError(*outcome)->errorCode(), FileHandler::Error::Code::failedToCastXPCService);

    // A service that cannot be started fails the search instead of leaving it waiting.
    FileHandler::Services unreachable;
    unreachable.diskImageServiceName = missingServiceName;
    auto image = makeDownload("Example.dmg", {"Example.app"});
    outcome = handle(image, folder_, unreachable);
    ASSERT_TRUE(outcome && outcome->failure());
    EXPECT_TRUE(logged("XPC error: The disk image service could not be started"));
    EXPECT_TRUE(logs_.contains(log::Level::error, "Error handling file at " + image.string() + ": " + outcome->failure()->description()));

    EXPECT_TRUE(posted("FOUND_FILE").empty());
    EXPECT_TRUE(posted("FOUND_FILE_WITHOUT_IGNORE").empty());
    EXPECT_TRUE(fs::exists(text) && fs::exists(broken) && fs::exists(downloads_ / "Example.zip") && fs::exists(image));
}

TEST_F(FileHandlerTest, TheFileFoundChoiceAndItsQuestionDecideWhatHappens)
{
    auto archive = makeDownload("Example.zip", {"Example.app"});
    ASSERT_TRUE(folder_->fileFoundAction().store(FileFoundActionOption::alwaysAsk).ok());
    for (const auto& [answer, expected] : std::vector<std::pair<std::string, std::string>> {
             {"IGNORE_FILE_ACTION", "ignored"},
             {"dismiss", "dismissed"},
             {"SOMETHING_ELSE", "error(Unknown response to file found notification: SOMETHING_ELSE)"},
         }) {
        std::thread user([&] { EXPECT_TRUE(center_->answer("FOUND_FILE", answer)) << answer; });
        auto outcome = handle(archive, folder_);
        user.join();
        ASSERT_TRUE(outcome) << answer;
        EXPECT_EQ(outcome->description(), expected);
    }
    EXPECT_EQ(posted("FOUND_FILE").front(), "Found ZIP | Choose how to handle ZIP at " + archive.string());
    EXPECT_FALSE(fs::exists(applications_ / "Example.app"));
    EXPECT_TRUE(workingFolders().empty());

    // A dropped file of a source that ignores files is reported ignored.
    ASSERT_TRUE(appIcon_->fileFoundAction().store(FileFoundActionOption::ignore).ok());
    auto outcome = handle(archive, appIcon_);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->description(), "ignored");
    EXPECT_EQ(center_->posted().size(), 3u);

    // A dropped file is asked about without the Ignore answer.
    ASSERT_TRUE(appIcon_->fileFoundAction().store(FileFoundActionOption::alwaysAsk).ok());
    std::thread user([&] { EXPECT_TRUE(center_->answer("FOUND_FILE_WITHOUT_IGNORE", "FIND_APPLICATIONS_ACTION")); });
    outcome = handle(archive, appIcon_);
    user.join();
    ASSERT_TRUE(outcome && outcome->isCompleted()) << (outcome ? outcome->description() : "no outcome");
    EXPECT_TRUE(fs::exists(applications_ / "Example.app"));
    EXPECT_TRUE(eventually([&] { return fs::exists(trashFiles() / "Example.zip"); }));

    // A waiting question holds the file's handling but not its handler; an
    // answer that comes after the handler was released starts nothing, and
    // the handling goes with it. A source of its own shows, by its holders,
    // whether the handling still exists.
    fs::create_directories(work_ / "Later");
    auto added = configurations_->addFolder(URL::fileURL(work_ / "Later"), folder_->destinationBookmarkUUID().currentValue());
    ASSERT_TRUE(added.ok()) << added.error()->description();
    auto source = *added;
    ASSERT_TRUE(source->fileFoundAction().store(FileFoundActionOption::alwaysAsk).ok());
    auto late = makeDownload("Late.zip", {"Late.app"}, work_ / "Later");
    auto sourceHolders = source.use_count();
    auto asked = posted("FOUND_FILE").size();
    OutcomeWaiter unanswered;
    auto handler = makeHandler();
    std::weak_ptr<FileHandler> releasedHandler = handler;
    handler->handleFile(URL::fileURL(late), source, unanswered.completion());
    ASSERT_TRUE(eventually([&] { return posted("FOUND_FILE").size() == asked + 1; }));
    EXPECT_GT(source.use_count(), sourceHolders) << "the handling waits for its answer";
    handler.reset();
    EXPECT_TRUE(releasedHandler.expired());
    EXPECT_TRUE(center_->answer("FOUND_FILE", "FIND_APPLICATIONS_ACTION"));
    EXPECT_TRUE(eventually([&] { return source.use_count() == sourceHolders; }));
    EXPECT_FALSE(fs::exists(applications_ / "Late.app"));
    EXPECT_TRUE(fs::exists(late));
    EXPECT_TRUE(workingFolders().empty());
    {
        std::lock_guard lock(unanswered.mutex);
        EXPECT_TRUE(unanswered.outcomes.empty());
    }
}

TEST_F(FileHandlerTest, AFileWhoseQuestionsWereClosedUnansweredIsReportedDismissed)
{
    // Two applications are asked about through the process's own performer;
    // without a notification server or a terminal the questions are closed
    // unanswered, so the file is not done with.
    auto archive = makeDownload("Two.zip", {"One.app", "Two.app"});
    ASSERT_TRUE(folder_->applicationFoundAction().store(ApplicationFoundActionOption::askWhenMultipleFound).ok());
    OutcomeWaiter waiter;
    auto handler = makeHandler();
    handler->handleFile(URL::fileURL(archive), folder_, waiter.completion());
    // The closing alerts run on the main queue.
    ASSERT_TRUE(dispatch::MainRunLoop::runUntil([&] {
        std::lock_guard lock(waiter.mutex);
        return !waiter.outcomes.empty();
    },
        120s));
    EXPECT_EQ(waiter.outcomes.front().description(), "dismissed");
    EXPECT_TRUE(logged("Chose not to copy application at "));
    EXPECT_FALSE(fs::exists(applications_ / "One.app"));
    EXPECT_FALSE(fs::exists(applications_ / "Two.app"));
    EXPECT_TRUE(eventually([&] { return workingFolders().empty(); }));
    EXPECT_TRUE(fs::exists(archive)) << "nothing copied, so the download stays";
    // The process's notification center must not outlive the test's bus.
    static_cast<notifications::FreedesktopNotificationCenter&>(*notifications::FreedesktopNotificationCenter::current()).disconnect();
}

TEST_F(FileHandlerTest, DetachesThatFailOrAreNeverAnsweredStillLeadToTheTrashStep)
{
    // The search reaches the real service; the detach reaches a service that
    // cannot be started, times out, or is never answered. Only a detach that
    // is over lets the working folder go.
    struct Silent {
        std::mutex mutex;
        std::vector<URL> requests;
        std::vector<service::UnmountDMGResponse> kept;
    };
    auto silent = std::make_shared<Silent>();
    using Detach = std::function<void(service::ServiceErrorHandler, const URL&, service::UnmountDMGResponse)>;
    struct Case {
        std::string name;
        Detach detach;
        std::string entry;
        bool workingFolderKept;
    };
    std::vector<Case> cases {
        {"unreachable",
            [](service::ServiceErrorHandler handler, const URL& path, service::UnmountDMGResponse response) {
                serviceNamed(missingServiceName, std::move(handler))->unmountDMGWithMountPath(path, std::move(response));
            },
            "XPC error: ", false},
        {"timedout",
            [](service::ServiceErrorHandler handler, const URL&, service::UnmountDMGResponse) {
                handler(service::ServiceConnectionError::make(service::ServiceConnectionError::Reason::timedOut, "no reply"));
            },
            "Failed to unmount DMG: ", true},
        {"silent",
            [silent](service::ServiceErrorHandler, const URL& path, service::UnmountDMGResponse response) {
                std::lock_guard lock(silent->mutex);
                silent->requests.push_back(path);
                silent->kept.push_back(std::move(response));
            },
            "Requesting duvrin service to unmount DMG at ", true},
    };
    size_t kept = 0;
    for (const auto& [name, detach, entry, workingFolderKept] : cases) {
        FileHandler::Services services;
        services.detachTimeout = 500ms;
        services.connectToDiskImageService = [&](service::ServiceErrorHandler handler) {
            return std::make_shared<ScriptedService>(realMount(handler),
                [handler, &detach](const URL& path, service::UnmountDMGResponse response) { detach(handler, path, std::move(response)); });
        };
        // The image's application is in a ZIP archive on it, so the search
        // leaves a working folder.
        auto image = makeDownload(name + ".dmg", {name + ".zip"}, {}, {{name + ".zip", {name + ".app"}}});

        auto outcome = handle(image, folder_, services);
        ASSERT_TRUE(outcome && outcome->isCompleted()) << name << ": " << (outcome ? outcome->description() : "no outcome");
        EXPECT_TRUE(eventually([&] { return !fs::exists(image); })) << name;
        EXPECT_TRUE(fs::exists(trashFiles() / (name + ".dmg"))) << name;
        EXPECT_TRUE(logged(entry)) << name;
        if (workingFolderKept) {
            ++kept;
            EXPECT_TRUE(eventually([&] { return loggedCount("Keeping ") == kept; })) << name;
            EXPECT_EQ(workingFolders().size(), 1u) << name;
            for (const auto& folder : workingFolders())
                fs::remove_all(environment_.mountsFolder().parent_path() / folder);
        } else {
            EXPECT_TRUE(eventually([&] { return workingFolders().empty(); })) << name;
        }
    }
    std::lock_guard lock(silent->mutex);
    EXPECT_EQ(silent->requests.size(), 1u);
}

TEST_F(FileHandlerTest, EveryImageTheSearchAttachedIsDetachedWhateverItFound)
{
    // Nothing on the image: reported, detached, its mount point removed; the
    // download stays, since nothing was copied.
    auto empty = makeDownload("Empty.dmg", {"ReadMe.txt"});
    auto outcome = handle(empty, folder_);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->description(), "completed([])");
    EXPECT_TRUE(eventually([&] { return mountsFolderEmpty(); }));
    EXPECT_TRUE(eventually([&] { return logs_.count("Unmount action completed") == 1; }));
    EXPECT_TRUE(fs::exists(empty));

    // Nested images that hold nothing, are no image at all, or cannot be
    // reached through their connection add nothing; the rest is copied and
    // every attached image detached before the download is trashed.
    auto image = makeDownload("Outer.dmg", {"Outer.app", "NoImage.dmg", "Nothing.dmg", "Lost.dmg"}, {},
        {{"Nothing.dmg", {"ReadMe.txt"}}, {"Lost.dmg", {"Lost.app"}}});
    FileHandler::Services services;
    // The service as it is, except for one nested image's connection.
    services.connectToDiskImageService = [](service::ServiceErrorHandler handler) {
        return std::make_shared<ScriptedService>(
            [handler](const URL& dmg, const URL& mountPoint, service::MountDMGResponse response) {
                auto name = dmg.lastPathComponent() == "Lost.dmg" ? missingServiceName : realServiceName;
                serviceNamed(name, handler)->mountDMG(dmg, mountPoint, std::move(response));
            },
            [handler](const URL& mountPath, service::UnmountDMGResponse response) {
                serviceNamed(realServiceName, handler)->unmountDMGWithMountPath(mountPath, std::move(response));
            });
    };
    outcome = handle(image, folder_, services);
    ASSERT_TRUE(outcome && outcome->isCompleted()) << (outcome ? outcome->description() : "no outcome");
    EXPECT_EQ(outcome->description(), "completed([" + URL::fileURL(applications_ / "Outer.app", true).description() + "])");
    EXPECT_TRUE(logged("XPC error: The disk image service could not be started"));
    EXPECT_TRUE(eventually([&] { return !fs::exists(image); }));
    EXPECT_TRUE(fs::exists(trashFiles() / "Outer.dmg"));
    // Outer.dmg and Nothing.dmg, before the trash step; the mount points of
    // the two failed attaches stay empty.
    EXPECT_TRUE(attachedVolumes().empty());
    EXPECT_TRUE(logged("Requesting duvrin service to unmount DMG at " + (environment_.mountsFolder() / "Nothing.dmg_").string()));
    EXPECT_EQ(logs_.count("Unmount action completed"), 3u);
    EXPECT_TRUE(eventually([&] { return workingFolders().empty(); }));

    // A search that fails after attaching detaches what it attached.
    struct Attached {
        std::mutex mutex;
        std::vector<URL> mounted;
        std::vector<URL> detached;
    };
    auto attached = std::make_shared<Attached>();
    FileHandler::Services vanishing;
    vanishing.connectToDiskImageService = [attached](service::ServiceErrorHandler) {
        return std::make_shared<ScriptedService>(
            // Attached, but at a mount point that cannot be walked.
            [attached](const URL&, const URL& mountPoint, service::MountDMGResponse response) {
                auto vanished = mountPoint.appendingPathComponent("vanished", true);
                {
                    std::lock_guard lock(attached->mutex);
                    attached->mounted.push_back(vanished);
                }
                response(vanished, nullptr);
            },
            [attached](const URL& mountPath, service::UnmountDMGResponse response) {
                {
                    std::lock_guard lock(attached->mutex);
                    attached->detached.push_back(mountPath);
                }
                response(nullptr);
            });
    };
    auto failing = makeDownload("Vanishing.dmg", {"Vanishing.app"});
    outcome = handle(failing, folder_, vanishing);
    ASSERT_TRUE(outcome && outcome->failure()) << (outcome ? outcome->description() : "no outcome");
    EXPECT_TRUE(eventually([&] { return logs_.count("Unmount action completed") == 4; }));
    std::lock_guard lock(attached->mutex);
    EXPECT_EQ(attached->detached, attached->mounted);
    EXPECT_EQ(attached->detached.size(), 1u);
    EXPECT_TRUE(fs::exists(failing));
}

TEST_F(FileHandlerTest, LinksAreTrashedThemselvesAndTheirTargetsStayWhereTheyAre)
{
    auto elsewhere = work_ / "Elsewhere";
    auto kept = makeDownload("Kept.zip", {"Kept.app"}, elsewhere);
    auto handed = makeDownload("Handed.zip", {"Handed.app"}, elsewhere);

    // A link in a watched folder: its watcher hands over the link's target,
    // which lies outside the folder and so is not trashed; the link stays,
    // and the file counts as handled.
    fs::create_symlink(kept, downloads_ / "kept-link.zip");
    auto handler = makeHandler();
    auto manager = FileWatchersManager::make(handler, configurations_, destinations_,
        log::Logger("app.tavik.Tavik", "File Watchers Manager"), userDefaults_, std::make_shared<progress::FileProgressService>());
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
    auto outcome = handle(link, appIcon_);
    ASSERT_TRUE(outcome && outcome->isCompleted()) << (outcome ? outcome->description() : "no outcome");
    EXPECT_TRUE(fs::exists(applications_ / "Handed.app"));
    EXPECT_TRUE(eventually([&] { return fs::is_symlink(trashFiles() / "handed-link.zip"); }));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_TRUE(fs::is_regular_file(handed));
}
