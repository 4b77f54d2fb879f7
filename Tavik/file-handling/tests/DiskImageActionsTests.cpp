#include "Tavik/file-handling/DiskImageActions.hpp"
#include "Tavik/file-handling/DiskImageDetach.hpp"
#include "Tavik/file-handling/DiskImageServiceSession.hpp"
#include "Tavik/file-handling/ZIPActions.hpp"
#include "Tavik/file-handling/tests/SearchFixtures.hpp"
#include "disk-image-service/DuvrinXPCService.hpp"
#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/log/LogCapture.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"

#include <map>
#include <unordered_map>
#include <unordered_set>

using namespace tavik;
using namespace tavik::testing;

namespace {

using DMG = InstallableApplication::Source::DMG;

// A service that answers with what the test sets and records the calls.
class FakeService : public service::DuvrinXPCServiceProtocol {
public:
    std::optional<URL> mountedAt;
    ErrorPtr mountError, unmountError;
    std::vector<URL> mountPoints;

    void mountDMG(const URL&, const URL& mountPoint, service::MountDMGResponse response) override
    {
        mountPoints.push_back(mountPoint);
        response(mountedAt, mountError);
    }
    void unmountDMGWithMountPath(const URL&, service::UnmountDMGResponse response) override { response(unmountError); }
};

log::Logger mountLog() { return log::Logger("app.tavik.TavikActions", "Mount DMG"); }

class DiskImageActionsTest : public ::testing::Test {
protected:
    FindApplicationInDMGMountPointAction walk(std::shared_ptr<service::DuvrinXPCServiceProtocol> service) const
    {
        return {folderURL("extracted"), std::move(service), downloadsSource, FileManager::defaultManager(), log::Logger("app.tavik.TavikActions", "Find Applications")};
    }

    URL folderURL(const std::string& name) const { return URL::fileURL(work_ / name, true); }

    SearchEnvironment environment_;
    ScratchFolder work_;
    log::LogCapture logs_;
    std::shared_ptr<FakeService> fake_ = std::make_shared<FakeService>();
    URL image_ = URL::fileURL(work_ / "Example.dmg", false);
};

TEST_F(DiskImageActionsTest, MountUsesAFreshMountPointPerCallAcceptsOnlyAMountPointOrAnErrorAndUnmountRemovesOnlyAnEmptiedOne)
{
    MountDMGAction action(fake_, mountLog());
    auto serviceError = GenericError::make("test", 7, "image is damaged");
    fake_->mountedAt = URL::fileURL("/somewhere/else", true);
    auto mounted = performed(action, image_);
    ASSERT_TRUE(mounted && mounted->isMapped());
    EXPECT_EQ(*mounted->output(), (DMGMountpoint {image_, *fake_->mountedAt}));

    fake_->mountedAt = std::nullopt;
    fake_->mountError = serviceError;
    EXPECT_EQ(performed(action, image_)->error(), serviceError);
    // Both or neither is no answer the service may give.
    for (bool both : {true, false}) {
        fake_->mountedAt = both ? std::optional(URL::fileURL("/mnt", true)) : std::nullopt;
        fake_->mountError = both ? serviceError : nullptr;
        auto result = performed(action, image_);
        auto* error = dynamic_cast<const MountDMGAction::XPCError*>(result->error().get());
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->description(), "Duvrin service returned an invalid response");
        EXPECT_EQ(result->input, image_);
    }
    // Each attempt made a folder of its own under "mounts", and left it.
    ASSERT_EQ(fake_->mountPoints.size(), 4u);
    EXPECT_EQ(std::unordered_set<URL>(fake_->mountPoints.begin(), fake_->mountPoints.end()).size(), 4u);
    for (const auto& mountPoint : fake_->mountPoints)
        EXPECT_TRUE(mountPoint.path().parent_path() == environment_.mountsFolder() && mountPoint.lastPathComponent().starts_with("Example.dmg_") && mountPoint.hasDirectoryPath() && fs::is_directory(mountPoint.path())) << mountPoint.path();

    // No mount point can be made: the service is not called.
    fs::remove_all(environment_.mountsFolder());
    writeFile(environment_.mountsFolder(), "not a folder");
    EXPECT_TRUE(performed(action, image_)->isFailure());
    EXPECT_EQ(fake_->mountPoints.size(), 4u);

    // A detach removes only a mount point it emptied.
    UnmountDMGAction unmount(fake_, mountLog());
    auto emptied = folderURL("emptied");
    fs::create_directory(emptied.path());
    EXPECT_TRUE(performed(unmount, emptied)->isMapped());
    EXPECT_FALSE(fs::exists(emptied.path()));
    // A missing folder is reported; one that still holds items is kept with them.
    EXPECT_TRUE(isFileError(performed(unmount, emptied)->error(), FileError::Code::fileNoSuchFile));
    auto full = URL::fileURL(work_.write("full/Important.txt", "keep me").path().parent_path(), true);
    EXPECT_TRUE(performed(unmount, full)->isFailure());
    EXPECT_EQ(readFile(full.path() / "Important.txt"), "keep me");
    // A refused detach keeps the folder.
    fake_->unmountError = GenericError::make("test", 1, "not attached");
    fs::create_directory(emptied.path());
    EXPECT_EQ(performed(unmount, emptied)->error(), fake_->unmountError);
    EXPECT_TRUE(fs::exists(emptied.path()));
}

TEST_F(DiskImageActionsTest, DetachingSaysOnceWhetherEveryDetachIsOver)
{
    // Detaches answered as each case says: 'd'etached, 'r'efused, 't'imed out (may still run) or 'n'ever.
    struct Script final : service::DuvrinXPCServiceProtocol {
        std::unordered_map<URL, char> answers;
        service::ServiceErrorHandler connectionError;
        std::mutex mutex;
        std::vector<service::UnmountDMGResponse> unanswered;
        void mountDMG(const URL&, const URL&, service::MountDMGResponse) override {}
        void unmountDMGWithMountPath(const URL& mountPath, service::UnmountDMGResponse response) override
        {
            switch (answers.at(mountPath)) {
            case 'd': return response(nullptr);
            case 'r': return response(GenericError::make("test", 1, "refused"));
            case 't': return connectionError(service::ServiceConnectionError::make(service::ServiceConnectionError::Reason::timedOut, "no reply"));
            default: std::lock_guard lock(mutex); unanswered.push_back(std::move(response));
            }
        }
    };
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"nothing to detach", "", true},
        {"all detached", "dd", true},
        {"one refused", "dr", true},
        {"one timed out", "dt", false},
        {"one never answered", "nd", false},
    };
    for (const auto& [name, answers, allOver] : cases) {
        SCOPED_TRACE(name);
        auto script = std::make_shared<Script>();
        std::vector<URL> mountPoints;
        for (size_t i = 0; i < answers.size(); ++i) {
            mountPoints.push_back(folderURL(name + "/" + std::to_string(i)));
            fs::create_directories(mountPoints.back().path());
            script->answers[mountPoints.back()] = answers[i];
        }
        auto session = DiskImageServiceSession::make([&](service::ServiceErrorHandler handler) { script->connectionError = handler; return script; }, GenericError::make("test", 2, "no proxy"));
        std::unordered_map<URL, bool> heard; // mount point: answered with an error
        std::vector<bool> done;
        dispatch::DispatchGroup called;
        called.enter();
        detachDiskImages(session, mountPoints, {.answered = [&](const URL& mountPoint, const ErrorPtr& error) { std::lock_guard lock(script->mutex); heard[mountPoint] = error != nullptr; }, .done = [&](bool over) { std::lock_guard lock(script->mutex); done.push_back(over); if (done.size() == 1) called.leave(); }, .timeout = std::chrono::milliseconds(300)});
        ASSERT_TRUE(called.waitFor(std::chrono::seconds(30)));
        // A late answer is still heard, but done has been called already.
        for (auto& response : script->unanswered) response(nullptr);
        std::lock_guard lock(script->mutex);
        EXPECT_EQ(done, std::vector<bool> {allOver});
        ASSERT_EQ(heard.size(), answers.size());
        for (const auto& [mountPoint, failed] : heard) {
            auto answer = script->answers.at(mountPoint);
            EXPECT_EQ(failed, answer == 'r' || answer == 't');
            EXPECT_EQ(fs::exists(mountPoint.path()), failed) << "only a detached mount point goes";
        }
    }
}

// With the real hdiutil stand-in: an archive holds an image that holds another
// image and an archive, besides what the walk passes by (hidden items, links, bundle insides).
TEST_F(DiskImageActionsTest, NestedImagesAndArchivesAreSearchedWithTheirSourceChains)
{
    makeBundle(work_ / "inner-tree/InnerApp.app");
    auto outer = work_ / "outer-tree";
    makeDiskImage(work_ / "inner-tree", outer / "Inner.dmg");
    makeBundle(outer / "Example.app");
    for (const char* hidden : {"Folder/Nested.app/Contents/Helpers/Helper.app", "Folder/Nested.app", ".Hidden.app", ".hidden/Secret.app"}) makeBundle(outer / hidden);
    writeFile(outer / "Installer.pkg", "xar!");
    fs::create_directory_symlink("/usr", outer / "Applications");
    fs::create_directory_symlink("Example.app", outer / "Alias.app");
    writeFile(outer / "Broken.zip", "not an archive");
    makeBundle(work_ / "zipped-tree/ZippedApp.app");
    ASSERT_EQ(run({"zip", "-qry", (outer / "Zipped.zip").string(), "ZippedApp.app"}, work_ / "zipped-tree"), 0);
    makeDiskImage(outer, work_ / "download-tree/Outer.dmg");
    ASSERT_EQ(run({"zip", "-qry", (work_ / "Download.zip").string(), "Outer.dmg"}, work_ / "download-tree"), 0);

    auto service = std::make_shared<service::DuvrinXPCService>(log::Logger("app.tavik.DuvrinXPC", "XPC Service"));
    auto result = performed(ExtractApplicationsInZIPAction(folderURL("working"), service, downloadsSource), work_.url("Download.zip"));
    ASSERT_TRUE(result && result->isMapped()) << (result && result->error() ? result->error()->description() : "no result");
    const auto& items = *result->output();
    EXPECT_EQ(describeItems(items), (std::vector<std::string> {"Example.app in dmg(Outer.dmg) < zip(Download.zip) < directory", "InnerApp.app in dmg(Inner.dmg) < dmg(Outer.dmg) < zip(Download.zip) < directory", "Installer.pkg package in dmg(Outer.dmg) < zip(Download.zip) < directory", "Nested.app in dmg(Outer.dmg) < zip(Download.zip) < directory", "ZippedApp.app in zip(Zipped.zip) < dmg(Outer.dmg) < zip(Download.zip) < directory"}));

    // Each image has a mount point of its own, which its items record; an inner image records its outer one's.
    std::map<std::string, URL> mountPoints, parentMountPoints;
    for (const auto& item : items)
        if (auto* dmg = std::get_if<DMG>(&item.source.value)) {
            mountPoints.emplace(dmg->fileURL.lastPathComponent(), dmg->mountURL);
            if (auto* parent = std::get_if<DMG>(&dmg->parent->value)) parentMountPoints.emplace(dmg->fileURL.lastPathComponent(), parent->mountURL);
            EXPECT_TRUE(fs::exists(item.url.path()) && dmg->mountURL.path().parent_path() == environment_.mountsFolder()) << item.url.path();
        }
    ASSERT_EQ(mountPoints.size(), 2u);
    EXPECT_NE(mountPoints.at("Inner.dmg"), mountPoints.at("Outer.dmg"));
    EXPECT_EQ(parentMountPoints, (std::map<std::string, URL> {{"Inner.dmg", mountPoints.at("Outer.dmg")}}));
    EXPECT_TRUE(fs::is_regular_file(work_ / "working/Outer.dmg"));
    EXPECT_TRUE(fs::exists(work_ / "working/ZippedApp.app/Contents/MacOS/ZippedApp"));

    // Detaching the inner image, then the outer one, leaves no mount point behind.
    for (const char* name : {"Inner.dmg", "Outer.dmg"}) {
        auto unmounted = performed(UnmountDMGAction(service, mountLog()), mountPoints.at(name));
        ASSERT_TRUE(unmounted->isMapped()) << name << ": " << unmounted->error()->description();
    }
    EXPECT_TRUE(fs::is_empty(environment_.mountsFolder()));
}

// duvrin-xpc on a private bus refuses a path that is not UTF-8; a session
// without a proxy answers with its own error. Either way the call gets the
// failure as its answer (services that cannot start: the file handler's tests).
TEST_F(DiskImageActionsTest, CallsThatCannotBeMadeAreAnsweredWithTheirFailure)
{
    auto bus = environment_.busWithDiskImageService();
    auto unavailable = GenericError::make("test", 1, "no proxy");
    auto image = work_ / "Bad\xFF.dmg";
    for (bool withProxy : {true, false}) {
        SCOPED_TRACE(withProxy ? "the service" : "no proxy");
        auto session = DiskImageServiceSession::make([&](service::ServiceErrorHandler handler) { return withProxy ? service::DuvrinXPCConnection().remoteObjectProxyWithErrorHandler(std::move(handler)) : nullptr; }, unavailable);
        for (const ErrorPtr& error : {performed(MountDMGAction(session, mountLog()), URL::fileURL(image, false))->error(), performed(UnmountDMGAction(session, mountLog()), URL::fileURL(image, true))->error()}) {
            auto* connectionError = dynamic_cast<const service::ServiceConnectionError*>(error.get());
            EXPECT_TRUE(withProxy ? connectionError && connectionError->reason() == service::ServiceConnectionError::Reason::invalidRequest : error == unavailable) << (error ? error->description() : "no error");
        }
        EXPECT_TRUE(session->attachedMountPoints().empty());
    }
}

// A volume that cannot be walked fails; service calls, the walk and its archives' findings are logged.
TEST_F(DiskImageActionsTest, AVolumeThatCannotBeWalkedFailsAndServiceCallsTheWalkAndItsArchivesAreLogged)
{
    fake_->mountedAt = URL::fileURL("/mnt", true);
    performed(MountDMGAction(fake_, mountLog()), image_);
    fake_->mountedAt = std::nullopt;
    fake_->mountError = GenericError::make("test", 7, "image is damaged");
    performed(MountDMGAction(fake_, mountLog()), image_);
    auto volume = work_ / "volume";
    makeBundle(volume / "Example.app");
    writeFile(volume / "Broken.zip", "not an archive");
    writePythonZip(volume / "Logged.zip", {R"(file("Example.app/Contents/Info.plist"))"});
    writePythonZip(volume / "Hostile.zip", {R"(file("../escape.pkg"))", R"(file("Evil.app/Contents/Info.plist"))", R"(file("Evil.app/../../escape"))", R"(file("Bad.app/Contents/Info.plist"))", R"(link("Bad.app/Contents/Broken", b"\xff\xfe"))"});
    writePythonZip(volume / "Long.zip", {R"(file("Long.app/" + "x" * 1100))"});
    performed(walk(fake_), DMGMountpoint {image_, URL::fileURL(volume, true)});
    auto missing = performed(walk(fake_), DMGMountpoint {image_, folderURL("gone")});
    auto* error = dynamic_cast<const FindApplicationInDMGMountPointAction::Error*>(missing->error().get());
    EXPECT_TRUE(error && error->errorCode() == FindApplicationInDMGMountPointAction::Error::Code::failedToGetDirectoryEnumerator);

    const std::pair<log::Level, std::string> expected[] = {
        {log::Level::info, "Requesting duvrin service to mount DMG at " + image_.path().string() + " on to " + fake_->mountPoints.at(0).path().string()},
        {log::Level::error, "Duvrin service failed to mount DMG at " + image_.path().string() + ": image is damaged"},
        {log::Level::info, "Found application at " + (volume / "Example.app").string()},
        {log::Level::error, "File at " + (volume / "Broken.zip").string() + " is not a valid archive"},
        {log::Level::info, "Found app in archive at " + (volume / "Logged.zip").string() + " with internal path Example.app"},
        {log::Level::error, "Failed to extract ../escape.pkg from " + (volume / "Hostile.zip").string() + ": "},
        {log::Level::error, "Error extracting file entry at Evil.app/../../escape: "},
        {log::Level::error, "Failed to sort Bad.app entries: "},
        {log::Level::error, "Archive at " + (volume / "Long.zip").string() + " is beyond the limits"},
        {log::Level::error, "Failed to get directory enumerator for " + (work_ / "gone").string()},
    };
    auto entries = logs_.entries();
    for (const auto& [level, prefix] : expected)
        EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [&](const auto& entry) { return entry.level == level && entry.message.starts_with(prefix); })) << prefix;
}

} // namespace
