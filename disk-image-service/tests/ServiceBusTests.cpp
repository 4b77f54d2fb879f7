// duvrin-xpc as the bus starts it: a private session bus whose service
// folder points at the built program, called through the client connection.

#include "disk-image-service/tests/TestSupport.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "service-protocol/DBusMapping.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"

#include <gtest/gtest.h>

#include <sdbus-c++/sdbus-c++.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tavik;
using namespace tavik::service;
using namespace tavik::service::testing;

namespace {

const std::string systemPath = "/usr/bin:/bin";

// A folder with the service's .service file, as the bus reads it.
void writeServiceFile(const std::filesystem::path& folder, const std::string& exec)
{
    writeFile(folder / "app.tavik.DuvrinXPC.service",
        "[D-BUS Service]\nName=app.tavik.DuvrinXPC\nExec=" + exec + "\n");
}

bool serviceIsRunning()
{
    auto connection = sdbus::createSessionBusConnection();
    auto bus = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    bool hasOwner = false;
    bus->callMethod("NameHasOwner").onInterface("org.freedesktop.DBus").withArguments(std::string(dbus::serviceName)).storeResultsTo(hasOwner);
    return hasOwner;
}

class ServiceBusTest : public ::testing::Test {
protected:
    // Starts a private bus that runs duvrin-xpc with the fake hdiutil folder
    // first on its PATH.
    void startBus(const std::string& exec, const std::string& searchPath)
    {
        writeServiceFile(services_.path(), exec);
        bus_ = std::make_unique<tavik::testing::PrivateSessionBus>(tavik::testing::PrivateSessionBus::Options {
            {services_.path()},
            {{"PATH", searchPath}, {"TMPDIR", temporary_.path().string()},
                {"XDG_RUNTIME_DIR", temporary_.path().string()}, {"TAVIK_LOG", "stderr"}}});
    }
    void startBus(double idleTimeout = 30)
    {
        startBus(std::string(TAVIK_DUVRIN_XPC) + " --idle-timeout " + std::to_string(idleTimeout),
            tools_.path().string() + ":" + systemPath);
    }

    std::shared_ptr<DuvrinXPCServiceProtocol> proxy(Replies& replies)
    {
        return DuvrinXPCConnection().remoteObjectProxyWithErrorHandler(replies.errorHandler());
    }

    TemporaryFolder services_;
    TemporaryFolder tools_;
    TemporaryFolder temporary_;
    TemporaryFolder work_;
    std::unique_ptr<tavik::testing::PrivateSessionBus> bus_;
};

TEST_F(ServiceBusTest, FirstCallStartsTheServiceWhichQuitsWhenIdleAndStartsAgain)
{
    auto mountPoint = work_ / "mount point é";
    std::filesystem::create_directory(mountPoint);
    writeFile(tools_ / "attach.plist", attachPlist({std::nullopt, mountPoint.string()}));
    writeFakeHdiutil(tools_.path(),
        "case \"$1\" in attach) cat '" + (tools_ / "attach.plist").string() + "' ;; *) exit 0 ;; esac");
    startBus(1);
    EXPECT_FALSE(serviceIsRunning());

    Replies replies;
    auto service = proxy(replies);
    service->mountDMG(URL::fileURL(work_ / "Ünïcode App.dmg", false), URL::fileURL(mountPoint, true),
        replies.mountResponse());
    ASSERT_TRUE(replies.waitFor(1));
    ASSERT_EQ(replies.replies().size(), 1u) << replies.handlerErrors().front()->description();
    ASSERT_TRUE(replies.replies()[0].url);
    EXPECT_EQ(replies.replies()[0].url->path(), mountPoint);
    EXPECT_EQ(replies.replies()[0].error, nullptr);
    auto invocations = recordedInvocations(tools_.path());
    ASSERT_EQ(invocations.size(), 1u);
    EXPECT_EQ(invocations[0].back(), (work_ / "Ünïcode App.dmg").string());

    // Idle for a second: it quits, and the next call starts it again.
    EXPECT_TRUE(eventually([] { return !serviceIsRunning(); }));
    service->unmountDMGWithMountPath(URL::fileURL(mountPoint, true), replies.unmountResponse());
    ASSERT_TRUE(replies.waitFor(2));
    ASSERT_EQ(replies.replies().size(), 2u);
    EXPECT_EQ(replies.replies()[1].error, nullptr);
    EXPECT_EQ(recordedInvocations(tools_.path()).size(), 2u);

    // A detach sent without a reply block still runs the tool.
    service->unmountDMGWithMountPath(URL::fileURL(work_ / "quiet mount", true), nullptr);
    ASSERT_TRUE(eventually([&] { return recordedInvocations(tools_.path()).size() == 3; }));
    EXPECT_EQ(recordedInvocations(tools_.path())[2],
        (std::vector<std::string> {"hdiutil", "detach", (work_ / "quiet mount").string()}));
    EXPECT_EQ(replies.replies().size(), 2u);
    EXPECT_TRUE(replies.handlerErrors().empty());
}

TEST_F(ServiceBusTest, ASlowAttachDoesNotHoldUpAnotherCallersDetach)
{
    auto started = tools_ / "attach-started";
    auto release = tools_ / "attach-release";
    writeFile(tools_ / "attach.plist", attachPlist({"/tmp/slow"}));
    writeFakeHdiutil(tools_.path(),
        "case \"$1\" in attach) : > '" + started.string() + "'; n=0; while [ ! -e '" + release.string()
            + "' ] && [ $n -lt 1200 ]; do sleep 0.05; n=$((n+1)); done; cat '" + (tools_ / "attach.plist").string()
            + "' ;; detach) exit 0 ;; esac");
    startBus();

    Replies attach;
    Replies detach;
    auto first = proxy(attach);
    auto second = proxy(detach);
    first->mountDMG(URL::fileURL("/tmp/slow.dmg", false), URL::fileURL("/tmp/slow", true), attach.mountResponse());
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(started); }));

    second->unmountDMGWithMountPath(URL::fileURL("/tmp/other", true), detach.unmountResponse());
    ASSERT_TRUE(detach.waitFor(1));
    ASSERT_EQ(detach.replies().size(), 1u);
    EXPECT_EQ(detach.replies()[0].error, nullptr);
    EXPECT_TRUE(attach.replies().empty()) << "the attach was answered before it was released";

    writeFile(release, "");
    ASSERT_TRUE(attach.waitFor(1));
    ASSERT_EQ(attach.replies().size(), 1u);
    EXPECT_EQ(attach.replies()[0].url->path(), "/tmp/slow");
}

TEST_F(ServiceBusTest, CallsReachTheErrorHandlerWhenTheServiceCannotStart)
{
    for (const std::string& exec : {(work_ / "missing" / "duvrin-xpc").string(), std::string("/bin/false")}) {
        SCOPED_TRACE(exec);
        startBus(exec, systemPath);
        Replies replies;
        proxy(replies)->mountDMG(URL::fileURL("/tmp/a.dmg", false), URL::fileURL("/tmp/a", true), replies.mountResponse());
        ASSERT_TRUE(replies.waitFor(1));
        EXPECT_TRUE(replies.replies().empty());
        ASSERT_EQ(replies.handlerErrors().size(), 1u);
        auto error = std::dynamic_pointer_cast<const ServiceConnectionError>(replies.handlerErrors()[0]);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->reason(), ServiceConnectionError::Reason::notStartable) << error->description();
        bus_.reset();
    }
}

TEST_F(ServiceBusTest, ASecondInstanceRefusesToRunWhileTheNameIsOwned)
{
    writeFakeHdiutil(tools_.path(), "exit 0");
    startBus();
    Replies replies;
    proxy(replies)->unmountDMGWithMountPath(URL::fileURL("/tmp/x", true), replies.unmountResponse());
    ASSERT_TRUE(replies.waitFor(1));
    ASSERT_TRUE(serviceIsRunning());

    pid_t child = fork();
    if (child == 0) {
        execl(TAVIK_DUVRIN_XPC, TAVIK_DUVRIN_XPC, "--idle-timeout", "1", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

#ifdef TAVIK_HDIUTIL

// The whole way: a generated image attached and detached through the bus,
// duvrin-xpc and the hdiutil stand-in.
TEST_F(ServiceBusTest, GeneratedImageIsAttachedAndDetachedThroughTheRealTool)
{
    auto tree = work_ / "tree";
    std::filesystem::create_directories(tree / "Example.app" / "Contents" / "MacOS");
    writeFile(tree / "Example.app" / "Contents" / "Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
        "<string>Example</string></dict></plist>\n");
    writeFile(tree / "Example.app" / "Contents" / "MacOS" / "Example", "#!/bin/sh\necho example\n");
    chmod((tree / "Example.app" / "Contents" / "MacOS" / "Example").c_str(), 0755);
    writeFile(tree / "Read Me.txt", "read me\n");
    std::filesystem::create_symlink("/Applications", tree / "Applications");
    auto image = work_ / "Example 1.0.dmg";
    std::string command = std::string("'") + TAVIK_MAKE_DMG + "' '" + tree.string() + "' '" + image.string()
        + "' --volume-name Example";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    startBus(std::string(TAVIK_DUVRIN_XPC),
        std::filesystem::path(TAVIK_HDIUTIL).parent_path().string() + ":" + systemPath);
    auto mountPoint = work_ / "mounts" / "first";
    std::filesystem::create_directories(mountPoint);

    Replies replies;
    auto service = proxy(replies);
    service->mountDMG(URL::fileURL(image, false), URL::fileURL(mountPoint, true), replies.mountResponse());
    ASSERT_TRUE(replies.waitFor(1));
    ASSERT_EQ(replies.replies().size(), 1u) << replies.handlerErrors().front()->description();
    auto attached = replies.replies()[0];
    ASSERT_EQ(attached.error, nullptr) << attached.error->description();
    ASSERT_TRUE(attached.url);
    EXPECT_EQ(attached.url->path(), mountPoint);
    EXPECT_EQ(readFile(mountPoint / "Read Me.txt"), "read me\n");
    EXPECT_EQ(readFile(mountPoint / "Example.app" / "Contents" / "MacOS" / "Example"), "#!/bin/sh\necho example\n");
    struct stat info {};
    ASSERT_EQ(stat((mountPoint / "Example.app" / "Contents" / "MacOS" / "Example").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    EXPECT_EQ(std::filesystem::read_symlink(mountPoint / "Applications"), "/Applications");

    // Attached elsewhere while still attached here: the service attaches a
    // copy from its temporary folder instead.
    auto second = work_ / "mounts" / "second";
    std::filesystem::create_directories(second);
    service->mountDMG(URL::fileURL(image, false), URL::fileURL(second, true), replies.mountResponse());
    ASSERT_TRUE(replies.waitFor(2));
    ASSERT_EQ(replies.replies().size(), 2u) << replies.handlerErrors().front()->description();
    ASSERT_EQ(replies.replies()[1].error, nullptr) << replies.replies()[1].error->description();
    EXPECT_EQ(replies.replies()[1].url->path(), second);
    EXPECT_EQ(readFile(second / "Read Me.txt"), "read me\n");
    auto copies = temporary_ / ("tavik-" + std::to_string(getuid())) / "busy-copies";
    std::vector<std::filesystem::path> copyFolders;
    for (const auto& entry : std::filesystem::directory_iterator(copies))
        copyFolders.push_back(entry.path());
    ASSERT_EQ(copyFolders.size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(copyFolders.front() / "Example 1.0.dmg"));

    for (const auto& folder : {mountPoint, second})
        service->unmountDMGWithMountPath(URL::fileURL(folder, true), replies.unmountResponse());
    ASSERT_TRUE(replies.waitFor(4));
    ASSERT_EQ(replies.replies().size(), 4u) << replies.handlerErrors().front()->description();
    for (size_t index : {2u, 3u})
        EXPECT_EQ(replies.replies()[index].error, nullptr) << replies.replies()[index].error->description();
    for (const auto& folder : {mountPoint, second}) {
        EXPECT_TRUE(std::filesystem::is_directory(folder));
        EXPECT_TRUE(std::filesystem::is_empty(folder)) << folder;
    }
    EXPECT_TRUE(std::filesystem::is_empty(copies)) << "the copy goes with its detach";

    // A detach of something that is not attached is the tool's exit code.
    service->unmountDMGWithMountPath(URL::fileURL(mountPoint, true), replies.unmountResponse());
    ASSERT_TRUE(replies.waitFor(5));
    ASSERT_EQ(replies.replies().size(), 5u);
    ASSERT_NE(replies.replies()[4].error, nullptr);
    EXPECT_EQ(replies.replies()[4].error->domain(), "DuvrinXPC.MountDMGError");
    EXPECT_EQ(replies.replies()[4].error->code(), 0);

    // A refused image: the caller learns why from the tool's own words.
    auto disguised = work_ / "Disguised.dmg";
    command = std::string("'") + TAVIK_MAKE_DMG + "' '" + tree.string() + "' '" + disguised.string()
        + "' --partition-file '" + (tree / "Read Me.txt").string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    service->mountDMG(URL::fileURL(disguised, false), URL::fileURL(mountPoint, true), replies.mountResponse());
    ASSERT_TRUE(replies.waitFor(6));
    ASSERT_EQ(replies.replies().size(), 6u);
    ASSERT_NE(replies.replies()[5].error, nullptr);
    EXPECT_NE(replies.replies()[5].error->description().find("no mountable file systems"), std::string::npos)
        << replies.replies()[5].error->description();
    EXPECT_TRUE(std::filesystem::is_empty(mountPoint));
}

#else

TEST_F(ServiceBusTest, GeneratedImageIsAttachedAndDetachedThroughTheRealTool)
{
    GTEST_SKIP() << "the hdiutil stand-in is not part of this build";
}

#endif

} // namespace
