#include "Tavik/file-handling/DiskImageActions.hpp"
#include "Tavik/file-handling/DiskImageDetach.hpp"
#include "Tavik/file-handling/DiskImageServiceSession.hpp"
#include "Tavik/file-handling/ZIPActions.hpp"
#include "Tavik/file-handling/tests/SearchFixtures.hpp"
#include "disk-image-service/DuvrinXPCService.hpp"
#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <unordered_map>

using namespace tavik;
using namespace tavik::testing;
namespace fs = std::filesystem;

namespace {

using MountResult = actions::FileActionResult<URL, DMGMountpoint>;
using ItemsResult = actions::FileActionResult<URL, std::vector<InstallableApplication>>;
using WalkResult = actions::FileActionResult<DMGMountpoint, std::vector<InstallableApplication>>;
using UnmountResult = actions::FileActionResult<URL, std::monostate>;

const auto rootSource = InstallableApplication::Source::directory(URL::fileURL("/downloads", true), FileSource::directory);

// A service that answers with what the test sets and records the calls.
class FakeService : public service::DuvrinXPCServiceProtocol {
public:
    std::optional<URL> mountedAt;
    ErrorPtr mountError;
    ErrorPtr unmountError;
    std::vector<URL> mountPoints;
    std::vector<URL> unmounted;

    void mountDMG(const URL&, const URL& mountPoint, service::MountDMGResponse response) override
    {
        mountPoints.push_back(mountPoint);
        response(mountedAt, mountError);
    }
    void unmountDMGWithMountPath(const URL& mountPath, service::UnmountDMGResponse response) override
    {
        unmounted.push_back(mountPath);
        response(unmountError);
    }
};

log::Logger mountLog() { return log::Logger("app.tavik.TavikActions", "Mount DMG"); }

std::string names(const std::vector<InstallableApplication>& items)
{
    std::vector<std::string> lines;
    for (const auto& item : items)
        lines.push_back(item.url.lastPathComponent() + (item.kind == InstallableApplication::Kind::package ? " (package)" : "")
            + " in " + describeSource(item.source));
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    return text;
}

class DiskImageActionsTest : public ::testing::Test {
protected:
    SearchEnvironment environment_;
    ScratchFolder work_;
    log::LogCapture logs_;
};

TEST_F(DiskImageActionsTest, MountCreatesAFreshMountPointPerCallAndReportsWhatTheServiceSays)
{
    auto service = std::make_shared<FakeService>();
    service->mountedAt = URL::fileURL("/somewhere/else", true);
    MountDMGAction action(service, mountLog());
    auto image = URL::fileURL(work_ / "Example.dmg", false);

    ResultWaiter<URL, DMGMountpoint> first, second;
    action.perform(image, first.completion());
    action.perform(image, second.completion());

    ASSERT_EQ(service->mountPoints.size(), 2u);
    EXPECT_NE(service->mountPoints[0], service->mountPoints[1]);
    for (const auto& mountPoint : service->mountPoints) {
        EXPECT_EQ(mountPoint.path().parent_path(), environment_.mountsFolder());
        EXPECT_TRUE(mountPoint.lastPathComponent().starts_with("Example.dmg_"));
        EXPECT_TRUE(mountPoint.hasDirectoryPath());
        EXPECT_TRUE(fs::is_directory(mountPoint.path()));
    }
    auto result = first.wait();
    ASSERT_TRUE(result && result->isMapped());
    EXPECT_EQ(result->input, image);
    EXPECT_EQ(*result->output(), (DMGMountpoint {image, *service->mountedAt}));
    EXPECT_TRUE(logs_.contains(log::Level::info, "Requesting duvrin service to mount DMG at " + image.path().string() + " on to " + service->mountPoints[0].path().string()));
}

TEST_F(DiskImageActionsTest, MountReportsTheServicesErrorAndRejectsBothOrNeither)
{
    auto service = std::make_shared<FakeService>();
    MountDMGAction action(service, mountLog());
    auto image = URL::fileURL(work_ / "Example.dmg", false);
    auto serviceError = GenericError::make("test", 7, "image is damaged");

    service->mountError = serviceError;
    ResultWaiter<URL, DMGMountpoint> failed;
    action.perform(image, failed.completion());
    ASSERT_TRUE(failed.wait()->isFailure());
    EXPECT_EQ(failed.wait()->error(), serviceError);
    EXPECT_TRUE(logs_.contains(log::Level::error, "Duvrin service failed to mount DMG at " + image.path().string() + ": image is damaged"));

    for (bool withURL : {true, false}) {
        service->mountedAt = withURL ? std::optional(URL::fileURL("/mnt", true)) : std::nullopt;
        service->mountError = withURL ? serviceError : nullptr;
        ResultWaiter<URL, DMGMountpoint> invalid;
        action.perform(image, invalid.completion());
        auto result = invalid.wait();
        ASSERT_TRUE(result->isFailure());
        auto* error = dynamic_cast<const MountDMGAction::XPCError*>(result->error().get());
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->description(), "Duvrin service returned an invalid response");
        EXPECT_EQ(result->input, image);
    }
    EXPECT_EQ(logs_.count("Duvrin service failed to mount DMG at " + image.path().string() + ": image is damaged"), 1u);
    // Every attempt left its directory in place.
    EXPECT_EQ(std::distance(fs::directory_iterator(environment_.mountsFolder()), fs::directory_iterator()), 3);
}

TEST_F(DiskImageActionsTest, MountFailsWithoutCallingTheServiceWhenTheMountPointCannotBeMade)
{
    fs::create_directories(environment_.mountsFolder().parent_path());
    writeFile(environment_.mountsFolder(), "not a folder");
    auto service = std::make_shared<FakeService>();
    ResultWaiter<URL, DMGMountpoint> waiter;
    MountDMGAction(service, mountLog()).perform(URL::fileURL(work_ / "Example.dmg", false), waiter.completion());
    auto result = waiter.wait();
    ASSERT_TRUE(result->isFailure());
    EXPECT_TRUE(service->mountPoints.empty());
    EXPECT_TRUE(logs_.contains(log::Level::error, "Failed to create temp directory " + result->error()->description()));
}

TEST_F(DiskImageActionsTest, UnmountRemovesOnlyAnEmptiedMountPoint)
{
    auto service = std::make_shared<FakeService>();
    UnmountDMGAction action(service, mountLog());
    auto emptied = URL::fileURL(work_ / "emptied", true);
    fs::create_directory(emptied.path());
    ResultWaiter<URL, std::monostate> done;
    action.perform(emptied, done.completion());
    ASSERT_TRUE(done.wait()->isMapped());
    EXPECT_FALSE(fs::exists(emptied.path()));
    EXPECT_TRUE(logs_.contains(log::Level::info, "Requesting duvrin service to unmount DMG at " + emptied.path().string()));

    // A folder that still holds items is kept with them, and so is a missing one reported.
    auto full = URL::fileURL(work_ / "full", true);
    writeFile(full.path() / "Important.txt", "keep me");
    ResultWaiter<URL, std::monostate> notEmpty, missing;
    action.perform(full, notEmpty.completion());
    action.perform(emptied, missing.completion());
    ASSERT_TRUE(notEmpty.wait()->isFailure());
    EXPECT_EQ(readFile(full.path() / "Important.txt"), "keep me");
    ASSERT_TRUE(missing.wait()->isFailure());
    EXPECT_TRUE(isFileError(missing.wait()->error(), FileError::Code::fileNoSuchFile));

    service->unmountError = GenericError::make("test", 1, "not attached");
    fs::create_directory(emptied.path());
    ResultWaiter<URL, std::monostate> refused;
    action.perform(emptied, refused.completion());
    EXPECT_EQ(refused.wait()->error(), service->unmountError);
    EXPECT_TRUE(fs::exists(emptied.path()));
    EXPECT_TRUE(logs_.contains(log::Level::error, "Failed to unmount DMG: not attached"));
}

TEST_F(DiskImageActionsTest, DetachingSaysOnceWhetherEveryDetachIsOver)
{
    // Each mount point's detach is answered as its case says: detached,
    // refused, timed out (the service may still be detaching) or never.
    enum class Answer {
        detached,
        refused,
        timedOut,
        never
    };
    class ScriptedService final : public service::DuvrinXPCServiceProtocol {
    public:
        ScriptedService(std::unordered_map<URL, Answer> answers, service::ServiceErrorHandler connectionError,
            std::vector<service::UnmountDMGResponse>& kept, std::mutex& mutex)
            : answers_(std::move(answers))
            , connectionError_(std::move(connectionError))
            , kept_(kept)
            , mutex_(mutex)
        {
        }
        void mountDMG(const URL&, const URL&, service::MountDMGResponse) override {}
        void unmountDMGWithMountPath(const URL& mountPath, service::UnmountDMGResponse response) override
        {
            switch (answers_.at(mountPath)) {
            case Answer::detached:
                return response(nullptr);
            case Answer::refused:
                return response(GenericError::make("test", 1, "refused"));
            case Answer::timedOut:
                return connectionError_(service::ServiceConnectionError::make(service::ServiceConnectionError::Reason::timedOut, "no reply"));
            case Answer::never: {
                std::lock_guard lock(mutex_);
                kept_.push_back(std::move(response));
            }
            }
        }

    private:
        std::unordered_map<URL, Answer> answers_;
        service::ServiceErrorHandler connectionError_;
        std::vector<service::UnmountDMGResponse>& kept_;
        std::mutex& mutex_;
    };

    struct Case {
        std::string name;
        std::vector<Answer> answers;
        bool allOver;
    };
    for (const auto& [name, answers, allOver] : std::vector<Case> {
             {"nothing to detach", {}, true},
             {"all detached", {Answer::detached, Answer::detached}, true},
             {"one refused", {Answer::detached, Answer::refused}, true},
             {"one timed out", {Answer::detached, Answer::timedOut}, false},
             {"one never answered", {Answer::never, Answer::detached}, false},
         }) {
        std::unordered_map<URL, Answer> script;
        std::vector<URL> mountPoints;
        for (size_t i = 0; i < answers.size(); ++i) {
            auto mountPoint = URL::fileURL(work_ / name / std::to_string(i), true);
            fs::create_directories(mountPoint.path());
            script[mountPoint] = answers[i];
            mountPoints.push_back(mountPoint);
        }
        std::mutex mutex;
        std::vector<service::UnmountDMGResponse> unanswered;
        auto session = DiskImageServiceSession::make(
            [&](service::ServiceErrorHandler handler) { return std::make_shared<ScriptedService>(script, handler, unanswered, mutex); },
            GenericError::make("test", 2, "no proxy"));
        std::vector<std::pair<URL, bool>> heard; // mount point, answered with an error
        std::vector<bool> done;
        dispatch::DispatchGroup called;
        called.enter();
        detachDiskImages(session, mountPoints,
            {.answered =
                    [&](const URL& mountPoint, const ErrorPtr& error) {
                        std::lock_guard lock(mutex);
                        heard.emplace_back(mountPoint, error != nullptr);
                    },
                .done =
                    [&](bool over) {
                        std::lock_guard lock(mutex);
                        done.push_back(over);
                        if (done.size() == 1)
                            called.leave();
                    },
                .timeout = std::chrono::milliseconds(300)});
        ASSERT_TRUE(called.waitFor(std::chrono::seconds(30))) << name;
        // A late answer is still heard, but done has been called already.
        for (auto& response : unanswered)
            response(nullptr);
        std::lock_guard lock(mutex);
        EXPECT_EQ(done, std::vector<bool> {allOver}) << name;
        ASSERT_EQ(heard.size(), answers.size()) << name;
        for (const auto& [mountPoint, failed] : heard) {
            auto answer = script.at(mountPoint);
            EXPECT_EQ(failed, answer == Answer::refused || answer == Answer::timedOut) << name;
            EXPECT_EQ(fs::exists(mountPoint.path()), failed) << name << ": only a detached mount point goes";
        }
    }
}

TEST_F(DiskImageActionsTest, WalkReportsBundlesAndPackagesButNotHiddenItemsLinksOrBundleInsides)
{
    auto volume = work_ / "volume";
    makeBundle(volume / "Example.app");
    makeBundle(volume / "Folder/Deep/Nested.app");
    makeBundle(volume / "Folder/Deep/Nested.app/Contents/Helpers/Helper.app");
    makeBundle(volume / ".Hidden.app");
    makeBundle(volume / ".hidden/Secret.app");
    writeFile(volume / "Installer.pkg", "xar!");
    writeFile(volume / "Broken.zip", "not an archive");
    writeFile(volume / "Read Me.txt", "hello");
    fs::create_directory_symlink("/usr", volume / "Applications");
    fs::create_directory_symlink(volume / "Example.app", volume / "Alias.app");
    auto emptyVolume = work_ / "empty";
    fs::create_directories(emptyVolume / "folder");

    auto service = std::make_shared<FakeService>();
    FindApplicationInDMGMountPointAction action(URL::fileURL(work_ / "extracted", true), service, rootSource,
        FileManager::defaultManager(), log::Logger("app.tavik.TavikActions", "Find Applications"));
    auto image = URL::fileURL("/downloads/Example.dmg", false);

    ResultWaiter<DMGMountpoint, std::vector<InstallableApplication>> waiter, empty, missing;
    action.perform(DMGMountpoint {image, URL::fileURL(volume, true)}, waiter.completion());
    auto result = waiter.wait();
    ASSERT_TRUE(result && result->isMapped());
    EXPECT_EQ(names(*result->output()), "Example.app in dmg(Example.dmg) < directory\n"
                                        "Installer.pkg (package) in dmg(Example.dmg) < directory\n"
                                        "Nested.app in dmg(Example.dmg) < directory\n");
    auto& source = std::get<InstallableApplication::Source::DMG>(result->output()->front().source.value);
    EXPECT_EQ(source.mountURL, URL::fileURL(volume, true));
    EXPECT_TRUE(logs_.contains(log::Level::defaultLevel,
        "Finding applications at " + volume.string() + " (resolved as " + volume.string()));
    EXPECT_TRUE(logs_.contains(log::Level::info, "Found application at " + (volume / "Example.app").string()));
    EXPECT_TRUE(logs_.contains(log::Level::info, "Found PKG at " + (volume / "Installer.pkg").string()));
    EXPECT_TRUE(logs_.contains(log::Level::error, "File at " + (volume / "Broken.zip").string() + " is not a valid archive"));
    EXPECT_TRUE(service->mountPoints.empty());

    action.perform(DMGMountpoint {image, URL::fileURL(emptyVolume, true)}, empty.completion());
    ASSERT_TRUE(empty.wait()->isMapped());
    EXPECT_TRUE(empty.wait()->output()->empty());

    action.perform(DMGMountpoint {image, URL::fileURL(work_ / "gone", true)}, missing.completion());
    auto* error = dynamic_cast<const FindApplicationInDMGMountPointAction::Error*>(missing.wait()->error().get());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->errorCode(), FindApplicationInDMGMountPointAction::Error::Code::failedToGetDirectoryEnumerator);
    EXPECT_TRUE(logs_.contains(log::Level::error, "Failed to get directory enumerator for " + (work_ / "gone").string()));
}

// The whole road with the real hdiutil stand-in: a downloaded archive holds a
// disk image, whose volume holds another image and an archive of its own.
TEST_F(DiskImageActionsTest, NestedImagesAndArchivesAreSearchedWithTheirSourceChains)
{
    auto innerTree = work_ / "inner-tree";
    makeBundle(innerTree / "InnerApp.app");
    auto outerTree = work_ / "outer-tree";
    makeDiskImage(innerTree, outerTree / "Inner.dmg");
    makeBundle(outerTree / "Example.app");
    makeBundle(outerTree / "Folder/Nested.app");
    makeBundle(outerTree / "Folder/Nested.app/Contents/Helpers/Helper.app");
    makeBundle(outerTree / ".Hidden.app");
    fs::create_directory_symlink("/Applications", outerTree / "Applications");
    writeFile(outerTree / "Broken.zip", "not an archive");
    auto zippedTree = work_ / "zipped-tree";
    makeBundle(zippedTree / "ZippedApp.app");
    ASSERT_EQ(run({"zip", "-qry", (outerTree / "Zipped.zip").string(), "ZippedApp.app"}, zippedTree), 0);
    auto downloadTree = work_ / "download-tree";
    makeDiskImage(outerTree, downloadTree / "Outer.dmg");
    ASSERT_EQ(run({"zip", "-qry", (work_ / "Download.zip").string(), "Outer.dmg"}, downloadTree), 0);

    auto service = std::make_shared<service::DuvrinXPCService>(log::Logger("app.tavik.DuvrinXPC", "XPC Service"));
    auto destination = URL::fileURL(work_ / "working", true);
    ResultWaiter<URL, std::vector<InstallableApplication>> waiter;
    ExtractApplicationsInZIPAction(destination, service, rootSource).perform(URL::fileURL(work_ / "Download.zip", false), waiter.completion());
    auto result = waiter.wait();
    ASSERT_TRUE(result && result->isMapped()) << (result && result->error() ? result->error()->description() : "no result");
    const auto& items = *result->output();
    EXPECT_EQ(names(items), "Example.app in dmg(Outer.dmg) < zip(Download.zip) < directory\n"
                            "InnerApp.app in dmg(Inner.dmg) < dmg(Outer.dmg) < zip(Download.zip) < directory\n"
                            "Nested.app in dmg(Outer.dmg) < zip(Download.zip) < directory\n"
                            "ZippedApp.app in zip(Zipped.zip) < dmg(Outer.dmg) < zip(Download.zip) < directory\n");

    // Each image is attached at a mount point of its own, which its items record.
    std::map<std::string, URL> mountPoints;
    for (const auto& item : items) {
        if (auto* dmg = std::get_if<InstallableApplication::Source::DMG>(&item.source.value)) {
            mountPoints.emplace(dmg->fileURL.lastPathComponent(), dmg->mountURL);
            EXPECT_TRUE(fs::exists(item.url.path() / "Contents/Info.plist")) << item.url.path();
            EXPECT_EQ(dmg->mountURL.path().parent_path(), environment_.mountsFolder());
        }
    }
    ASSERT_EQ(mountPoints.size(), 2u);
    EXPECT_NE(mountPoints.at("Inner.dmg"), mountPoints.at("Outer.dmg"));
    EXPECT_EQ(std::get<InstallableApplication::Source::DMG>(
                  std::get<InstallableApplication::Source::DMG>(std::find_if(items.begin(), items.end(), [](auto& item) {
                      return item.url.lastPathComponent() == "InnerApp.app";
                  })->source.value)
                      .parent->value)
                  .mountURL,
        mountPoints.at("Outer.dmg"));
    EXPECT_TRUE(fs::is_regular_file(destination.path() / "Outer.dmg"));
    EXPECT_TRUE(fs::exists(destination.path() / "ZippedApp.app/Contents/MacOS/ZippedApp"));

    // Detaching the inner image, then the outer one, leaves no mount point behind.
    UnmountDMGAction unmount(service, mountLog());
    for (const char* name : {"Inner.dmg", "Outer.dmg"}) {
        ResultWaiter<URL, std::monostate> done;
        unmount.perform(mountPoints.at(name), done.completion());
        auto unmounted = done.wait();
        ASSERT_TRUE(unmounted->isMapped()) << name << ": " << unmounted->error()->description();
    }
    EXPECT_TRUE(fs::is_empty(environment_.mountsFolder()));
}

// The application's side of the service as it runs: duvrin-xpc started by a
// private session bus, reached through a connection's proxy.
TEST_F(DiskImageActionsTest, ImageWithOneApplicationThroughTheBusYieldsExactlyThatApplication)
{
    auto tree = work_ / "tree";
    makeBundle(tree / "Example.app");
    fs::create_directory_symlink("/Applications", tree / "Applications");
    makeDiskImage(tree, work_ / "Example.dmg");

    ScratchFolder services;
    writeFile(services / "app.tavik.DuvrinXPC.service",
        std::string("[D-BUS Service]\nName=app.tavik.DuvrinXPC\nExec=") + TAVIK_DUVRIN_XPC + " --idle-timeout 5\n");
    PrivateSessionBus bus({{services.path()},
        {{"PATH", std::getenv("PATH")}, {"TMPDIR", std::getenv("TMPDIR")}, {"XDG_RUNTIME_DIR", std::getenv("XDG_RUNTIME_DIR")},
            {"TAVIK_LOG", "stderr"}}});
    std::mutex mutex;
    std::vector<ErrorPtr> connectionErrors;
    auto proxy = service::DuvrinXPCConnection().remoteObjectProxyWithErrorHandler([&](ErrorPtr error) {
        std::lock_guard lock(mutex);
        connectionErrors.push_back(error);
    });

    ResultWaiter<URL, std::vector<InstallableApplication>> waiter;
    auto image = URL::fileURL(work_ / "Example.dmg", false);
    FindApplicationsInDMGAction(URL::fileURL(work_ / "working", true), rootSource, proxy).perform(image, waiter.completion());
    auto result = waiter.wait();
    ASSERT_TRUE(result && result->isMapped()) << (result && result->error() ? result->error()->description() : "no result");
    EXPECT_EQ(result->input, image);
    ASSERT_EQ(result->output()->size(), 1u);
    const auto& item = result->output()->front();
    EXPECT_EQ(item.url.lastPathComponent(), "Example.app");
    EXPECT_EQ(item.kind, InstallableApplication::Kind::application);
    auto mountURL = std::get<InstallableApplication::Source::DMG>(item.source.value).mountURL;
    EXPECT_EQ(item.url.path().parent_path(), mountURL.resolvingSymlinksInPath().path());
    EXPECT_TRUE(fs::is_symlink(mountURL.path() / "Applications"));
    EXPECT_TRUE(logs_.contains(log::Level::info, "Found application at " + item.url.path().string()));

    ResultWaiter<URL, std::monostate> unmounted;
    UnmountDMGAction(proxy, mountLog()).perform(mountURL, unmounted.completion());
    ASSERT_TRUE(unmounted.wait()->isMapped());
    EXPECT_FALSE(fs::exists(mountURL.path()));
    std::lock_guard lock(mutex);
    EXPECT_TRUE(connectionErrors.empty());
}

// The service as one file's handling calls it: a call whose connection
// fails gets that failure as its answer (the file handler's tests follow a
// whole search and its clean-up through it).
TEST_F(DiskImageActionsTest, SessionAnswersCallsThatCannotBeMade)
{
    ScratchFolder services;
    writeFile(services / "app.tavik.DuvrinXPC.service",
        std::string("[D-BUS Service]\nName=app.tavik.DuvrinXPC\nExec=") + TAVIK_DUVRIN_XPC + " --idle-timeout 5\n");
    PrivateSessionBus bus({{services.path()},
        {{"PATH", std::getenv("PATH")}, {"TMPDIR", std::getenv("TMPDIR")}, {"XDG_RUNTIME_DIR", std::getenv("XDG_RUNTIME_DIR")},
            {"TAVIK_LOG", "stderr"}}});
    std::atomic<int> connectionErrors = 0;
    auto unavailable = GenericError::make("test", 1, "no proxy");
    auto sessionTo = [&](std::optional<std::string> name) {
        return DiskImageServiceSession::make(
            [&connectionErrors, name](service::ServiceErrorHandler handler) -> std::shared_ptr<service::DuvrinXPCServiceProtocol> {
                if (!name)
                    return nullptr;
                return service::DuvrinXPCConnection(service::DuvrinXPCConnection::Options {*name})
                    .remoteObjectProxyWithErrorHandler([&connectionErrors, handler](ErrorPtr error) {
                        ++connectionErrors;
                        handler(std::move(error));
                    });
            },
            unavailable);
    };

    using Reason = service::ServiceConnectionError::Reason;
    struct Case {
        std::string name;
        std::optional<std::string> serviceName;
        std::string imageName;
        std::optional<Reason> reason; // none: answered with `unavailable`
    };
    for (const auto& [name, serviceName, imageName, reason] : std::vector<Case> {
             {"service that cannot be started", "app.tavik.NoSuchService", "Example.dmg", Reason::notStartable},
             {"path that is not UTF-8", "app.tavik.DuvrinXPC", "Bad\xFF.dmg", Reason::invalidRequest},
             {"no proxy", std::nullopt, "Example.dmg", std::nullopt},
         }) {
        auto failing = sessionTo(serviceName);
        ResultWaiter<URL, DMGMountpoint> mounted;
        MountDMGAction(failing, mountLog()).perform(URL::fileURL(work_ / imageName, false), mounted.completion());
        ResultWaiter<URL, std::monostate> unmounted;
        UnmountDMGAction(failing, mountLog()).perform(URL::fileURL(work_ / imageName, true), unmounted.completion());
        for (const ErrorPtr& error : {mounted.wait()->error(), unmounted.wait()->error()}) {
            ASSERT_TRUE(error) << name;
            if (reason) {
                auto* connectionError = dynamic_cast<const service::ServiceConnectionError*>(error.get());
                ASSERT_TRUE(connectionError) << name << ": " << error->description();
                EXPECT_EQ(connectionError->reason(), *reason) << name;
            } else {
                EXPECT_EQ(error, unavailable) << name;
            }
        }
        EXPECT_TRUE(failing->attachedMountPoints().empty()) << name;
        EXPECT_EQ(mounted.count(), 1u) << name;
    }
    EXPECT_EQ(connectionErrors, 4);
}

} // namespace
