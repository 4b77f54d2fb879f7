#include "disk-image-service/DuvrinXPCService.hpp"
#include "disk-image-service/MountDMGError.hpp"
#include "disk-image-service/TemporaryFiles.hpp"
#include "disk-image-service/ToolSearchPath.hpp"
#include "disk-image-service/tests/TestSupport.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"
#include "service-protocol/tests/Replies.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::service;
using namespace tavik::service::testing;
namespace fs = std::filesystem;

namespace {

bool isMountError(const ErrorPtr& error, MountDMGError::Case errorCase)
{
    auto mountError = std::dynamic_pointer_cast<const MountDMGError>(error);
    return mountError && mountError->errorCase() == errorCase;
}

class DuvrinXPCServiceTest : public ::testing::Test {
protected:
    DuvrinXPCServiceTest()
    {
        fs::create_directories(tools);
        fs::create_directories(copies);
        environment.set("PATH", tools.string() + ":" + systemPath);
        // Paths with spaces and non-ASCII characters must arrive as single arguments.
        writeFile(image.path(), "image contents");
        fs::create_directories(mountPoint.path());
    }

    std::vector<std::string> attachArguments(const fs::path& dmg) const
    {
        return {"hdiutil", "attach", "-nobrowse", "-readonly", "-plist", "-mountpoint", mountPoint.path().string(), "-noautoopen", dmg.string()};
    }

    // Runs an attach and returns its single reply, made before the call returns.
    Replies::Reply mount(DuvrinXPCService& service)
    {
        Replies replies;
        service.mountDMG(image, mountPoint, replies.mountResponse());
        EXPECT_EQ(replies.replies().size(), 1u);
        return replies.reply(0);
    }
    Replies::Reply mount() { return mount(service); }
    std::vector<log::Entry> serviceLog() const { return capture.entries("XPC Service"); }

    tavik::testing::ScratchFolder scratch {"tavik-duvrin"};
    const fs::path tools = scratch / "tools";
    const fs::path copies = scratch / "copies";
    const URL image = URL::fileURL(scratch / "Down loads" / "Ünïcode App 1.0.dmg", false);
    const URL mountPoint = URL::fileURL(scratch / "mount point é", true);
    tavik::testing::ScopedEnvironment environment;
    log::LogCapture capture;
    DuvrinXPCService service {log::Logger("app.tavik.DuvrinXPC", "XPC Service"), DuvrinXPCService::Options {"/usr/bin/env", copies}};
};

// What an attach replies and logs for each kind of tool output.
TEST_F(DuvrinXPCServiceTest, AttachReplyAndLogFollowTheToolsOutput)
{
    const auto volume = mountPoint.path().string();
    int lists = 0;
    auto printing = [&](const std::vector<std::optional<std::string>>& mountPoints) {
        auto list = tools / ("attach-" + std::to_string(++lists) + ".plist");
        writeFile(list, attachPlist(mountPoints));
        return "cat '" + list.string() + "'";
    };
    using Case = MountDMGError::Case;
    struct Attach {
        const char* what;
        std::string script;
        std::optional<std::string> volume;
        std::optional<Case> error;
        std::string logged; // empty: nothing is logged
    };
    const Attach cases[] = {
        {"the mounted volume among partitions", printing({std::nullopt, std::nullopt, volume}), volume, {}, ""},
        {"two volumes: the first listed", printing({std::nullopt, "/Volumes/First", "/Volumes/Second"}), "/Volumes/First", {}, ""},
        {"partitions without a volume", printing({std::nullopt, std::nullopt}), {}, {}, "DMG attach did not mount any volumes"},
        {"no entities at all", printing({}), {}, {}, "DMG attach did not mount any volumes"},
        {"not a property list", "printf 'attached somewhere'", {}, Case::invalidOutput, "Failed to decode `hdiutil` output as plist: "},
        {"a list without the entities", "printf '<plist version=\"1.0\"><dict><key>other</key><true/></dict></plist>'", {},
            Case::invalidOutput, "system-entities"},
        {"output that is not UTF-8", "printf 'bad \\377 bytes'", {}, Case::invalidOutput, "\nOutput\nOutput was not valid UTF8"},
        // The busy test is exact: a line end after "Resource busy" is another failure.
        {"busy followed by a line end", "printf 'hdiutil: attach failed - Resource busy\\n' >&2; exit 16", {}, Case::exitCode,
            "`hdiutil` failed with exit code 16.\nstderr: hdiutil: attach failed - Resource busy\n"},
        {"standard error that is not UTF-8 is never busy", "printf '\\377 Resource busy' >&2; exit 1", {}, Case::exitCode,
            "`hdiutil` failed with exit code 1.\nstderr: <invalid UTF8>"},
        {"two megabytes of output", "head -c 2000000 /dev/zero | tr '\\0' x; exit 0", {}, Case::invalidOutput,
            "Failed to decode `hdiutil` output as plist: "},
    };
    for (const auto& attach : cases) {
        SCOPED_TRACE(attach.what);
        log::LogCapture attachCapture;
        fs::remove(tools / "arguments.log");
        writeFakeHdiutil(tools, attach.script);
        auto reply = mount();
        EXPECT_EQ(reply.url ? std::optional(reply.url->path().string()) : std::nullopt, attach.volume);
        EXPECT_TRUE(!reply.url || reply.url->hasDirectoryPath() == fs::is_directory(reply.url->path()));
        EXPECT_TRUE(attach.error ? isMountError(reply.error, *attach.error) : reply.error == nullptr);
        EXPECT_EQ(recordedInvocations(tools), std::vector<std::vector<std::string>> {attachArguments(image.path())});
        auto entries = attachCapture.entries("XPC Service");
        ASSERT_EQ(entries.size(), attach.logged.empty() ? 0u : 1u);
        if (!entries.empty()) {
            EXPECT_NE(entries[0].message.find(attach.logged), std::string::npos) << entries[0].message.substr(0, 200);
            EXPECT_LT(entries[0].message.size(), 2 * DuvrinXPCService::messageLimit);
        }
    }
    EXPECT_FALSE(fs::exists(copies / "busy-copies"));
}

TEST_F(DuvrinXPCServiceTest, AFailedAttachCarriesTheToolsStatusAndReason)
{
    // The reason, then 600 KB, then the tool's last words: start and end reach
    // the caller, and reply and log stay bounded.
    writeFakeHdiutil(tools,
        "printf 'hdiutil: attach failed - the image is too large for the free space ' >&2; "
        "head -c 600000 /dev/zero | tr '\\0' x >&2; printf ' the end' >&2; exit 3");
    auto reply = mount();
    ASSERT_TRUE(isMountError(reply.error, MountDMGError::Case::exitCode));
    EXPECT_EQ(std::dynamic_pointer_cast<const MountDMGError>(reply.error)->status(), 3);
    EXPECT_EQ(reply.error->code(), 0);
    const auto description = reply.error->description();
    EXPECT_TRUE(description.starts_with("hdiutil failed with exit code 3: attach failed - the image is too large for the free space xxx"))
        << description.substr(0, 200);
    EXPECT_TRUE(description.ends_with(" the end")) << description.substr(description.size() - 200);
    EXPECT_LT(description.size(), 2 * DuvrinXPCService::messageLimit);
    auto entries = serviceLog();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].level, log::Level::error);
    EXPECT_LT(entries[0].message.size(), 2 * DuvrinXPCService::messageLimit);

    // A missing tool is env's exit code; a missing env the launch error, not logged.
    environment.set("PATH", scratch.path().string());
    reply = mount();
    ASSERT_TRUE(isMountError(reply.error, MountDMGError::Case::exitCode));
    EXPECT_EQ(std::dynamic_pointer_cast<const MountDMGError>(reply.error)->status(), 127);
    entries = serviceLog();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_TRUE(entries[1].message.starts_with("`hdiutil` failed with exit code 127.\nstderr: ")) << entries[1].message;
    DuvrinXPCService unlaunchable(log::Logger("app.tavik.DuvrinXPC", "XPC Service"), DuvrinXPCService::Options {scratch / "no-such-env", copies});
    reply = mount(unlaunchable);
    EXPECT_FALSE(reply.url);
    EXPECT_TRUE(isFileError(reply.error, FileError::Code::fileReadNoSuchFile));
    Replies replies;
    unlaunchable.unmountDMGWithMountPath(mountPoint, replies.unmountResponse());
    EXPECT_TRUE(isFileError(replies.reply(0).error, FileError::Code::fileReadNoSuchFile));
    EXPECT_EQ(serviceLog().size(), 2u);
}

TEST_F(DuvrinXPCServiceTest, BusyImageIsAttachedFromACopyThatGoesWithItsDetach)
{
    writeFile(tools / "attach.plist", attachPlist({mountPoint.path().string()}));
    // Busy for the original, fine for anything in the copies folder.
    writeFakeHdiutil(tools, "case \"$1:$8\" in detach:*) exit 0 ;; attach:'" + copies.string() + "'/*) cat '" + (tools / "attach.plist").string() + "' ;; *) printf 'hdiutil: attach failed - Resource busy' >&2; exit 16 ;; esac");
    fs::permissions(image.path(), fs::perms(0640));

    auto reply = mount();
    EXPECT_EQ(reply.path(), mountPoint.path().string());
    EXPECT_EQ(reply.failure(), "-");
    auto invocations = recordedInvocations(tools);
    ASSERT_EQ(invocations.size(), 2u);
    const fs::path copy = invocations[1].back();
    EXPECT_EQ(invocations, (std::vector {attachArguments(image.path()), attachArguments(copy)}));
    EXPECT_EQ(copy.parent_path().parent_path() / copy.filename(), copies / "busy-copies" / image.lastPathComponent());
    EXPECT_EQ(readFile(copy), "image contents");
    EXPECT_EQ(tavik::testing::modeOf(copy), 0640u);
    EXPECT_TRUE(serviceLog().empty());

    // A second busy image of the same name gets a copy of its own.
    EXPECT_EQ(mount().failure(), "-");
    const fs::path secondCopy = recordedInvocations(tools).back().back();
    EXPECT_NE(secondCopy, copy);

    // Detaching the mount point removes its copies, and only those.
    Replies replies;
    fs::create_directories(scratch / "other");
    service.unmountDMGWithMountPath(URL::fileURL(scratch / "other", true), replies.unmountResponse());
    EXPECT_TRUE(fs::exists(copy));
    service.unmountDMGWithMountPath(mountPoint, replies.unmountResponse());
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_FALSE(fs::exists(secondCopy));
    EXPECT_TRUE(fs::is_empty(copies / "busy-copies"));
    EXPECT_EQ(readFile(image.path()), "image contents");
    for (const auto& detached : replies.replies()) EXPECT_EQ(detached.failure(), "-");

    // Busy again for the copy: that fails the call instead of retrying
    // forever, and the copy goes, so it blocks no later call.
    writeFakeHdiutil(tools, "printf 'hdiutil: attach failed - Resource busy' >&2; exit 16");
    for (int attempt = 0; attempt < 2; ++attempt) {
        fs::remove(tools / "arguments.log");
        auto failed = mount();
        EXPECT_FALSE(failed.url);
        ASSERT_TRUE(isMountError(failed.error, MountDMGError::Case::failedToCopyDMG));
        EXPECT_NE(std::dynamic_pointer_cast<const MountDMGError>(failed.error)->underlying(), nullptr);
        EXPECT_EQ(recordedInvocations(tools).size(), 2u);
        EXPECT_TRUE(fs::is_empty(copies / "busy-copies"));
    }
    EXPECT_TRUE(serviceLog().empty());
}

TEST_F(DuvrinXPCServiceTest, CopiesLeftByAnEarlierRunAreRemovedAtStart)
{
    writeFile(scratch / "attached/Example.app", "still attached");
    fs::create_directories(scratch / "emptied");
    const std::pair<const char*, std::optional<fs::path>> leftovers[] = {{"copy-still", scratch / "attached"},
        {"copy-empty", scratch / "emptied"}, {"copy-gone", scratch / "gone"}, {"copy-unrecorded", std::nullopt}};
    for (const auto& [name, attachedAt] : leftovers) {
        writeFile(copies / "busy-copies" / name / "Example.dmg", "copy");
        if (attachedAt)
            writeFile(copies / "busy-copies" / name / "mount-point", attachedAt->string());
    }
    service.removeLeftoverCopies();
    EXPECT_EQ(tavik::testing::namesIn(copies / "busy-copies"), std::vector<std::string> {"copy-still"});
    EXPECT_EQ(readFile(scratch / "attached/Example.app"), "still attached");
}

TEST_F(DuvrinXPCServiceTest, DetachRunsTheToolAndRepliesOnlyWhenAsked)
{
    writeFakeHdiutil(tools, "printf 'hdiutil: detach: \"%s\" is not attached' \"$2\" >&2; exit 1");
    Replies replies;
    service.unmountDMGWithMountPath(mountPoint, replies.unmountResponse());
    // Without a reply block the tool still runs and the failure is logged.
    service.unmountDMGWithMountPath(mountPoint, nullptr);
    ASSERT_EQ(replies.replies().size(), 1u);
    EXPECT_TRUE(isMountError(replies.replies()[0].error, MountDMGError::Case::exitCode));
    const std::vector<std::string> detach = {"hdiutil", "detach", mountPoint.path().string()};
    EXPECT_EQ(recordedInvocations(tools), (std::vector {detach, detach}));
    EXPECT_EQ(capture.count("`hdiutil` failed with exit code 1.\nstderr: hdiutil: detach: \"" + mountPoint.path().string() + "\" is not attached"), 2u);
}

TEST(TemporaryFilesTest, CopyRefusesAnExistingDestinationAndLeavesNoPartialCopy)
{
    tavik::testing::ScratchFolder folder("tavik-duvrin");
    writeFile(folder / "source", std::string(300000, 'x'));
    writeFile(folder / "taken", "keep me");
    auto refused = copyItem(folder / "source", folder / "taken");
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(isFileError(refused.error(), FileError::Code::fileWriteFileExists));
    EXPECT_EQ(readFile(folder / "taken"), "keep me");
    ASSERT_TRUE(copyItem(folder / "source", folder / "copy").ok());
    EXPECT_EQ(readFile(folder / "copy"), readFile(folder / "source"));
    // A folder cannot be copied this way, and nothing is left behind.
    fs::create_directory(folder / "a folder");
    EXPECT_FALSE(copyItem(folder / "a folder", folder / "folder copy").ok());
    EXPECT_FALSE(fs::exists(folder / "folder copy"));
}

// The fixture's PATH starts with the tools folder, which has no hdiutil yet.
TEST_F(DuvrinXPCServiceTest, TheInstalledFolderJoinsTheSearchPathOnlyWhenHdiutilIsMissing)
{
    const std::string searchPath = tools.string() + ":" + systemPath;
    addToSearchPathIfMissing("hdiutil", "/installed");
    EXPECT_EQ(std::string(std::getenv("PATH")), searchPath + ":/installed");
    writeFakeHdiutil(tools, "exit 0");
    environment.set("PATH", searchPath);
    addToSearchPathIfMissing("hdiutil", "/installed");
    EXPECT_EQ(std::string(std::getenv("PATH")), searchPath);
}

} // namespace
