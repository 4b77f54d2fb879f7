// duvrin-xpc as the bus starts it: a private session bus whose service
// folder points at the built program, called through the client connection.
#include "disk-image-service/tests/TestSupport.hpp"
#include "platform/testing/Bundles.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/Images.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/Programs.hpp"
#include "platform/testing/ScratchFolder.hpp"
#include "service-protocol/DBusMapping.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"
#include "service-protocol/tests/Replies.hpp"

#include <gtest/gtest.h>

#include <sdbus-c++/sdbus-c++.h>

#include <unistd.h>

using namespace tavik;
using namespace tavik::service;
using namespace tavik::service::testing;
namespace fs = std::filesystem;

namespace {

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
    // Starts a private bus that runs `exec` for the service, with the given PATH.
    void startBus(const std::string& exec, const std::string& searchPath)
    {
        bus.reset();
        writeFile(scratch / "services/app.tavik.DuvrinXPC.service", "[D-BUS Service]\nName=app.tavik.DuvrinXPC\nExec=" + exec + "\n");
        fs::create_directories(temporary);
        bus = std::make_unique<tavik::testing::PrivateSessionBus>(tavik::testing::PrivateSessionBus::Options {
            {scratch / "services"},
            {{"PATH", searchPath}, {"TMPDIR", temporary.string()}, {"XDG_RUNTIME_DIR", temporary.string()}, {"TAVIK_LOG", "stderr"}}});
    }
    // duvrin-xpc with the fake hdiutil folder first on its PATH.
    void startBus(double idleTimeout = 30)
    {
        startBus(std::string(TAVIK_DUVRIN_XPC) + " --idle-timeout " + std::to_string(idleTimeout), tools.string() + ":" + systemPath);
    }

    static std::shared_ptr<DuvrinXPCServiceProtocol> proxy(Replies& replies) { return DuvrinXPCConnection().remoteObjectProxyWithErrorHandler(replies.errorHandler()); }

    tavik::testing::ScratchFolder scratch {"tavik-duvrin"};
    const fs::path tools = scratch / "tools";
    const fs::path temporary = scratch / "temporary";
    std::unique_ptr<tavik::testing::PrivateSessionBus> bus;
};

TEST_F(ServiceBusTest, FirstCallStartsTheServiceWhichQuitsWhenIdleAndStartsAgain)
{
    auto mountPoint = scratch / "mount point é";
    fs::create_directories(mountPoint);
    writeFile(tools / "attach.plist", attachPlist({std::nullopt, mountPoint.string()}));
    writeFakeHdiutil(tools, "case \"$1\" in attach) cat '" + (tools / "attach.plist").string() + "' ;; *) exit 0 ;; esac");
    startBus(1);
    EXPECT_FALSE(serviceIsRunning());

    Replies replies;
    auto service = proxy(replies);
    service->mountDMG(URL::fileURL(scratch / "Ünïcode App.dmg", false), URL::fileURL(mountPoint, true), replies.mountResponse());
    EXPECT_EQ(replies.reply(0).path(), mountPoint.string());
    EXPECT_EQ(replies.reply(0).failure(), "-");
    EXPECT_EQ(recordedInvocations(tools).at(0).back(), (scratch / "Ünïcode App.dmg").string());

    // Idle for a second: it quits, and the next call starts it again.
    EXPECT_TRUE(tavik::testing::eventually([] { return !serviceIsRunning(); }));
    service->unmountDMGWithMountPath(URL::fileURL(mountPoint, true), replies.unmountResponse());
    EXPECT_EQ(replies.reply(1).failure(), "-");

    // A detach sent without a reply block still runs the tool.
    service->unmountDMGWithMountPath(URL::fileURL(scratch / "quiet mount", true), nullptr);
    ASSERT_TRUE(tavik::testing::eventually([&] { return recordedInvocations(tools).size() == 3; }));
    EXPECT_EQ(recordedInvocations(tools)[2], (std::vector<std::string> {"hdiutil", "detach", (scratch / "quiet mount").string()}));
    EXPECT_EQ(replies.replies().size(), 2u);
    EXPECT_TRUE(replies.handlerErrors().empty());
}

// While one caller's attach is still running, another's detach is answered,
// and a second instance of the service refuses to run.
TEST_F(ServiceBusTest, ASlowAttachHoldsUpNeitherAnotherCallerNorTheNameCheck)
{
    auto started = tools / "attach-started";
    auto release = tools / "attach-release";
    writeFile(tools / "attach.plist", attachPlist({"/tmp/slow"}));
    writeFakeHdiutil(tools, "case \"$1\" in attach) : > '" + started.string() + "'; n=0; while [ ! -e '" + release.string() + "' ] && [ $n -lt 1200 ]; do sleep 0.05; n=$((n+1)); done; cat '" + (tools / "attach.plist").string() + "' ;; detach) exit 0 ;; esac");
    startBus();

    Replies attach;
    Replies detach;
    proxy(attach)->mountDMG(URL::fileURL("/tmp/slow.dmg", false), URL::fileURL("/tmp/slow", true), attach.mountResponse());
    ASSERT_TRUE(tavik::testing::eventually([&] { return fs::exists(started); }));
    proxy(detach)->unmountDMGWithMountPath(URL::fileURL("/tmp/other", true), detach.unmountResponse());
    EXPECT_EQ(detach.reply(0).failure(), "-");
    EXPECT_EQ(tavik::testing::run({TAVIK_DUVRIN_XPC, "--idle-timeout", "1"}), 1);
    EXPECT_TRUE(attach.replies().empty()) << "the attach was answered before it was released";

    writeFile(release, "");
    EXPECT_EQ(attach.reply(0).path(), "/tmp/slow");
}

// The whole way: a generated image attached and detached through the bus,
// duvrin-xpc and the hdiutil stand-in.
TEST_F(ServiceBusTest, GeneratedImageIsAttachedAndDetachedThroughTheRealTool)
{
#ifndef TAVIK_HDIUTIL
    GTEST_SKIP() << "the hdiutil stand-in is not part of this build";
#else
    auto tree = scratch / "tree";
    tavik::testing::makeBundle(tree / "Example.app", {.script = "#!/bin/sh\necho example\n"});
    writeFile(tree / "Read Me.txt", "read me\n");
    auto image = scratch / "Example 1.0.dmg";
    tavik::testing::makeDiskImage(tree, image);
    startBus(TAVIK_DUVRIN_XPC, fs::path(TAVIK_HDIUTIL).parent_path().string() + ":" + systemPath);
    const fs::path mountPoints[] = {scratch / "mounts/first", scratch / "mounts/second"};

    // Attached elsewhere while still attached at the first mount point: the
    // service attaches a copy from its temporary folder instead.
    Replies replies;
    auto service = proxy(replies);
    for (size_t index = 0; index < 2; ++index) {
        fs::create_directories(mountPoints[index]);
        service->mountDMG(URL::fileURL(image, false), URL::fileURL(mountPoints[index], true), replies.mountResponse());
        EXPECT_EQ(replies.reply(index).failure(), "-");
        EXPECT_EQ(replies.reply(index).path(), mountPoints[index].string());
        EXPECT_EQ(readFile(mountPoints[index] / "Example.app/Contents/MacOS/Example"), "#!/bin/sh\necho example\n");
    }
    auto copies = temporary / ("tavik-" + std::to_string(getuid())) / "busy-copies";
    ASSERT_EQ(std::distance(fs::directory_iterator(copies), fs::directory_iterator()), 1);
    EXPECT_TRUE(fs::exists(fs::directory_iterator(copies)->path() / "Example 1.0.dmg"));

    for (const auto& folder : mountPoints)
        service->unmountDMGWithMountPath(URL::fileURL(folder, true), replies.unmountResponse());
    EXPECT_EQ(replies.reply(2).failure(), "-");
    EXPECT_EQ(replies.reply(3).failure(), "-");
    for (const auto& folder : mountPoints)
        EXPECT_TRUE(fs::is_directory(folder) && fs::is_empty(folder)) << folder;
    EXPECT_TRUE(fs::is_empty(copies)) << "the copy goes with its detach";

    // A detach of something that is not attached is the tool's exit code.
    service->unmountDMGWithMountPath(URL::fileURL(mountPoints[0], true), replies.unmountResponse());
    auto notAttached = replies.reply(4);
    ASSERT_NE(notAttached.error, nullptr);
    EXPECT_EQ(notAttached.error->domain() + " " + std::to_string(notAttached.error->code()), "DuvrinXPC.MountDMGError 0");

    // A refused image: the caller learns why from the tool's own words.
    auto disguised = scratch / "Disguised.dmg";
    ASSERT_EQ(tavik::testing::run({"python3", TAVIK_MAKE_DMG, tree.string(), disguised.string(), "--partition-file", (tree / "Read Me.txt").string()}), 0);
    service->mountDMG(URL::fileURL(disguised, false), URL::fileURL(mountPoints[0], true), replies.mountResponse());
    EXPECT_NE(replies.reply(5).failure().find("no mountable file systems"), std::string::npos) << replies.reply(5).failure();
    EXPECT_TRUE(fs::is_empty(mountPoints[0]));
#endif
}

} // namespace
