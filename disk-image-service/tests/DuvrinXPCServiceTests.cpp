#include "disk-image-service/DuvrinXPCService.hpp"
#include "disk-image-service/MountDMGError.hpp"
#include "disk-image-service/TemporaryFiles.hpp"
#include "disk-image-service/ToolSearchPath.hpp"
#include "disk-image-service/tests/TestSupport.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/testing/ScopedEnvironment.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace tavik;
using namespace tavik::service;
using namespace tavik::service::testing;
using log::Level;

namespace {

const std::string systemPath = "/usr/bin:/bin";

class DuvrinXPCServiceTest : public ::testing::Test {
protected:
    DuvrinXPCServiceTest()
        : searchPath_(tools_.path().string() + ":" + systemPath)
        , service_(log::Logger("app.tavik.DuvrinXPC", "XPC Service"),
              DuvrinXPCService::Options {"/usr/bin/env", copies_.path()})
    {
        // Paths with spaces and non-ASCII characters must arrive as single arguments.
        std::filesystem::create_directories(work_ / "Down loads");
        image_ = URL::fileURL(work_ / "Down loads" / "Ünïcode App 1.0.dmg", false);
        writeFile(image_.path(), "image contents");
        mountPoint_ = URL::fileURL(work_ / "mount point é", true);
        std::filesystem::create_directories(mountPoint_.path());
    }

    std::vector<std::string> attachArguments(const std::filesystem::path& image) const
    {
        return {"hdiutil", "attach", "-nobrowse", "-readonly", "-plist", "-mountpoint", mountPoint_.path().string(),
            "-noautoopen", image.string()};
    }

    // Runs an attach and returns its single reply.
    Replies::Reply mount()
    {
        Replies replies;
        service_.mountDMG(image_, mountPoint_, replies.mountResponse());
        // The reply is made before the call returns, exactly once.
        auto all = replies.replies();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? Replies::Reply {} : all.front();
    }

    std::vector<log::Entry> serviceLog() const { return capture_.entries("XPC Service"); }

    log::LogCapture capture_;
    TemporaryFolder tools_;
    TemporaryFolder copies_;
    TemporaryFolder work_;
    ScopedSearchPath searchPath_;
    DuvrinXPCService service_;
    URL image_ = URL::fileURL("/");
    URL mountPoint_ = URL::fileURL("/");
};

bool isMountError(const ErrorPtr& error, MountDMGError::Case errorCase)
{
    auto mountError = std::dynamic_pointer_cast<const MountDMGError>(error);
    return mountError && mountError->errorCase() == errorCase;
}

// What an attach replies and logs for each kind of tool output.
TEST_F(DuvrinXPCServiceTest, AttachReplyAndLogFollowTheToolsOutput)
{
    const auto volume = mountPoint_.path().string();
    int lists = 0;
    auto printing = [&](const std::vector<std::optional<std::string>>& mountPoints) {
        auto list = tools_ / ("attach-" + std::to_string(++lists) + ".plist");
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
        {"not a property list", "printf 'attached somewhere'", {}, Case::invalidOutput,
            "Failed to decode `hdiutil` output as plist: "},
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
        log::LogCapture capture;
        std::filesystem::remove(tools_ / "arguments.log");
        writeFakeHdiutil(tools_.path(), attach.script);
        auto reply = mount();
        EXPECT_EQ(reply.url ? std::optional(reply.url->path().string()) : std::nullopt, attach.volume);
        if (reply.url) {
            EXPECT_EQ(reply.url->hasDirectoryPath(), std::filesystem::is_directory(reply.url->path()));
        }
        if (attach.error) {
            EXPECT_TRUE(isMountError(reply.error, *attach.error));
        } else {
            EXPECT_EQ(reply.error, nullptr);
        }
        EXPECT_EQ(recordedInvocations(tools_.path()), std::vector<std::vector<std::string>> {attachArguments(image_.path())});
        auto entries = capture.entries("XPC Service");
        if (attach.logged.empty()) {
            EXPECT_TRUE(entries.empty());
            continue;
        }
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_NE(entries[0].message.find(attach.logged), std::string::npos) << entries[0].message.substr(0, 200);
        EXPECT_LT(entries[0].message.size(), 2 * DuvrinXPCService::messageLimit);
    }
    EXPECT_FALSE(std::filesystem::exists(copies_ / "busy-copies"));
}

TEST_F(DuvrinXPCServiceTest, AFailedAttachCarriesTheToolsStatusAndReason)
{
    // The reason, then 600 KB, then the tool's last words: start and end reach
    // the caller, and reply and log stay bounded.
    writeFakeHdiutil(tools_.path(),
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
    EXPECT_EQ(entries[0].level, Level::error);
    EXPECT_LT(entries[0].message.size(), 2 * DuvrinXPCService::messageLimit);

    // A missing tool is env's exit code.
    ScopedSearchPath noTools(work_.path().string());
    reply = mount();
    ASSERT_TRUE(isMountError(reply.error, MountDMGError::Case::exitCode));
    EXPECT_EQ(std::dynamic_pointer_cast<const MountDMGError>(reply.error)->status(), 127);
    entries = serviceLog();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_TRUE(entries[1].message.starts_with("`hdiutil` failed with exit code 127.\nstderr: ")) << entries[1].message;
}

TEST_F(DuvrinXPCServiceTest, BusyImageIsAttachedFromACopyThatGoesWithItsDetach)
{
    writeFile(tools_ / "attach.plist", attachPlist({mountPoint_.path().string()}));
    // Busy for the original, fine for anything in the copies folder.
    writeFakeHdiutil(tools_.path(), "case \"$1:$8\" in detach:*) exit 0 ;; attach:'" + copies_.path().string() + "'/*) cat '" + (tools_ / "attach.plist").string() + "' ;; *) printf 'hdiutil: attach failed - Resource busy' >&2; exit 16 ;; esac");
    chmod(image_.path().c_str(), 0640);

    auto reply = mount();
    ASSERT_TRUE(reply.url);
    EXPECT_EQ(reply.url->path(), mountPoint_.path());
    EXPECT_EQ(reply.error, nullptr);
    auto invocations = recordedInvocations(tools_.path());
    ASSERT_EQ(invocations.size(), 2u);
    EXPECT_EQ(invocations[0], attachArguments(image_.path()));
    const std::filesystem::path copy = invocations[1].back();
    EXPECT_EQ(invocations[1], attachArguments(copy));
    EXPECT_EQ(copy.filename(), image_.lastPathComponent());
    EXPECT_EQ(copy.parent_path().parent_path(), copies_ / "busy-copies");
    EXPECT_EQ(readFile(copy), "image contents");
    struct stat info {};
    ASSERT_EQ(stat(copy.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_TRUE(serviceLog().empty());

    // A second busy image of the same name gets a copy of its own.
    auto second = mount();
    ASSERT_TRUE(second.url) << (second.error ? second.error->description() : "");
    const std::filesystem::path secondCopy = recordedInvocations(tools_.path()).back().back();
    EXPECT_NE(secondCopy, copy);

    // Detaching the mount point removes its copies, and only those.
    Replies replies;
    auto otherMountPoint = work_ / "other";
    std::filesystem::create_directories(otherMountPoint);
    service_.unmountDMGWithMountPath(URL::fileURL(otherMountPoint, true), replies.unmountResponse());
    EXPECT_TRUE(std::filesystem::exists(copy));
    service_.unmountDMGWithMountPath(mountPoint_, replies.unmountResponse());
    EXPECT_FALSE(std::filesystem::exists(copy));
    EXPECT_FALSE(std::filesystem::exists(secondCopy));
    EXPECT_TRUE(std::filesystem::is_empty(copies_ / "busy-copies"));
    EXPECT_EQ(readFile(image_.path()), "image contents");
}

TEST_F(DuvrinXPCServiceTest, SecondBusyAnswerFailsTheCopyInsteadOfRetryingForever)
{
    writeFakeHdiutil(tools_.path(), "printf 'hdiutil: attach failed - Resource busy' >&2; exit 16");
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::filesystem::remove(tools_ / "arguments.log");
        auto reply = mount();
        EXPECT_FALSE(reply.url);
        ASSERT_TRUE(isMountError(reply.error, MountDMGError::Case::failedToCopyDMG));
        EXPECT_NE(std::dynamic_pointer_cast<const MountDMGError>(reply.error)->underlying(), nullptr);
        EXPECT_EQ(recordedInvocations(tools_.path()).size(), 2u);
        EXPECT_TRUE(serviceLog().empty());
        // The copy whose attach failed is gone, so it blocks no later call.
        EXPECT_TRUE(std::filesystem::is_empty(copies_ / "busy-copies"));
    }
}

TEST_F(DuvrinXPCServiceTest, CopiesLeftByAnEarlierRunAreRemovedAtStart)
{
    auto copies = copies_ / "busy-copies";
    auto attachedHere = work_ / "attached";
    std::filesystem::create_directories(attachedHere);
    writeFile(attachedHere / "Example.app", "still attached");
    auto emptied = work_ / "emptied";
    std::filesystem::create_directories(emptied);
    auto makeCopy = [&](const std::string& name, const std::optional<std::filesystem::path>& mountPoint) {
        std::filesystem::create_directories(copies / name);
        writeFile(copies / name / "Example.dmg", "copy");
        if (mountPoint)
            writeFile(copies / name / "mount-point", mountPoint->string());
    };
    makeCopy("copy-still", attachedHere);
    makeCopy("copy-empty", emptied);
    makeCopy("copy-gone", work_ / "gone");
    makeCopy("copy-unrecorded", std::nullopt);

    service_.removeLeftoverCopies();
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(copies))
        left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string> {"copy-still"});
    EXPECT_EQ(readFile(attachedHere / "Example.app"), "still attached");
}

TEST_F(DuvrinXPCServiceTest, LaunchFailureRepliesWithTheLaunchErrorAndLogsNothing)
{
    DuvrinXPCService service(log::Logger("app.tavik.DuvrinXPC", "XPC Service"),
        DuvrinXPCService::Options {work_ / "no-such-env", copies_.path()});
    Replies replies;
    service.mountDMG(image_, mountPoint_, replies.mountResponse());
    service.unmountDMGWithMountPath(mountPoint_, replies.unmountResponse());
    auto all = replies.replies();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_FALSE(all[0].url);
    EXPECT_TRUE(isFileError(all[0].error, FileError::Code::fileReadNoSuchFile));
    EXPECT_TRUE(isFileError(all[1].error, FileError::Code::fileReadNoSuchFile));
    EXPECT_TRUE(serviceLog().empty());
}

TEST_F(DuvrinXPCServiceTest, DetachRunsTheToolAndRepliesOnlyWhenAsked)
{
    writeFakeHdiutil(tools_.path(), "exit 0");
    Replies replies;
    service_.unmountDMGWithMountPath(mountPoint_, replies.unmountResponse());
    ASSERT_EQ(replies.replies().size(), 1u);
    EXPECT_EQ(replies.replies()[0].error, nullptr);
    EXPECT_EQ(recordedInvocations(tools_.path()),
        (std::vector<std::vector<std::string>> {{"hdiutil", "detach", mountPoint_.path().string()}}));

    writeFakeHdiutil(tools_.path(), "printf 'hdiutil: detach: \"%s\" is not attached' \"$2\" >&2; exit 1");
    service_.unmountDMGWithMountPath(mountPoint_, replies.unmountResponse());
    ASSERT_EQ(replies.replies().size(), 2u);
    EXPECT_TRUE(isMountError(replies.replies()[1].error, MountDMGError::Case::exitCode));
    std::string expected = "`hdiutil` failed with exit code 1.\nstderr: hdiutil: detach: \"" + mountPoint_.path().string()
        + "\" is not attached";
    EXPECT_EQ(capture_.count(expected), 1u);

    // Without a reply block the tool still runs and the failure is logged.
    service_.unmountDMGWithMountPath(mountPoint_, nullptr);
    EXPECT_EQ(recordedInvocations(tools_.path()).size(), 3u);
    EXPECT_EQ(capture_.count(expected), 2u);
    EXPECT_EQ(replies.replies().size(), 2u);
}

TEST(TemporaryFilesTest, CopyRefusesAnExistingDestinationAndLeavesNoPartialCopy)
{
    TemporaryFolder folder;
    writeFile(folder / "source", std::string(300000, 'x'));
    writeFile(folder / "taken", "keep me");
    auto refused = copyItem(folder / "source", folder / "taken");
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(isFileError(refused.error(), FileError::Code::fileWriteFileExists));
    EXPECT_EQ(readFile(folder / "taken"), "keep me");

    ASSERT_TRUE(copyItem(folder / "source", folder / "copy").ok());
    EXPECT_EQ(readFile(folder / "copy"), readFile(folder / "source"));

    // A folder cannot be copied this way, and nothing is left behind.
    std::filesystem::create_directory(folder / "a folder");
    EXPECT_FALSE(copyItem(folder / "a folder", folder / "folder copy").ok());
    EXPECT_FALSE(std::filesystem::exists(folder / "folder copy"));
}

TEST(ToolSearchPathTest, AddsTheInstalledFolderOnlyWhenHdiutilIsMissing)
{
    TemporaryFolder tools;
    TemporaryFolder installed;
    ScopedSearchPath path(systemPath);
    addToSearchPathIfMissing("hdiutil", installed.path());
    EXPECT_EQ(std::string(std::getenv("PATH")), systemPath + ":" + installed.path().string());

    writeFakeHdiutil(tools.path(), "exit 0");
    setenv("PATH", (tools.path().string() + ":" + systemPath).c_str(), 1);
    addToSearchPathIfMissing("hdiutil", installed.path());
    EXPECT_EQ(std::string(std::getenv("PATH")), tools.path().string() + ":" + systemPath);
}

} // namespace
