// What a broken helper would hide: a bus that is not private, a scratch
// folder that deletes through a link, a poller that never says no, an
// environment that leaks into the next test.
#include "platform/testing/CapturedProgram.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <cstdlib>

namespace tavik::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(PrivateSessionBusTest, EachBusIsADaemonOfItsOwnAndTheAddressIsPutBack)
{
    ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    {
        PrivateSessionBus bus;
        auto owner = sdbus::createSessionBusConnection("app.tavik.PrivateCheck");
        {
            PrivateSessionBus other;
            EXPECT_NE(other.address(), bus.address());
            EXPECT_STREQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), other.address().c_str());
            EXPECT_NO_THROW(sdbus::createSessionBusConnection("app.tavik.PrivateCheck")) << "a name of one bus is free on another";
            other.kill();
            EXPECT_THROW(sdbus::createSessionBusConnection(), sdbus::Error);
        }
        EXPECT_STREQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), bus.address().c_str());
        EXPECT_THROW(sdbus::createSessionBusConnection("app.tavik.PrivateCheck"), sdbus::Error);
    }
    EXPECT_STREQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), "unix:path=/nonexistent");
}

TEST(ScratchFolderTest, RemovesWhatItHoldsEvenReadOnlyFoldersButNotALinksTarget)
{
    ScratchFolder outside("tavik-outside");
    writeFile(outside / "kept", "kept");
    fs::path path;
    {
        ScratchFolder folder;
        path = folder.path();
        EXPECT_EQ(path, fs::canonical(path));
        folder.write("locked/inner/file", "data");
        fs::permissions(folder / "locked/inner", fs::perms(0500));
        fs::permissions(folder / "locked", fs::perms(0500));
        fs::create_directory_symlink(outside.path(), folder / "link");
    }
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(readFile(outside / "kept"), "kept");
}

TEST(EventuallyTest, SaysWhetherTheConditionCameToHoldInTime)
{
    int polls = 0;
    EXPECT_TRUE(eventually([&] { return ++polls == 3; }));
    EXPECT_EQ(polls, 3);
    EXPECT_FALSE(eventually([] { return false; }, 30ms));
}

// What a program wrote and how it ended; one that does not end in time is killed.
TEST(CapturedProgramTest, GivesTheOutputAndStatusOrKillsAProgramThatRunsTooLong)
{
    ScratchFolder folder;
    auto ended = CapturedProgram({"sh", "-c", "echo out; echo err >&2; exit 3"}, folder.path()).finish();
    ASSERT_TRUE(ended);
    EXPECT_EQ((std::tuple {ended->status, ended->out, ended->err}), (std::tuple {3, std::string("out\n"), std::string("err\n")}));
    EXPECT_FALSE(CapturedProgram({"sleep", "30"}, folder.path()).finish(100ms));
    EXPECT_EQ(CapturedProgram({"sh", "-c", "kill -TERM $$"}, folder.path()).finish()->status, 128 + SIGTERM);
}

TEST(ScopedEnvironmentTest, PutsEveryVariableBackAsItWas)
{
    ::setenv("TAVIK_SET_BEFORE", "before", 1);
    ::unsetenv("TAVIK_UNSET_BEFORE");
    {
        ScopedEnvironment environment;
        environment.set("TAVIK_SET_BEFORE", "first").set("TAVIK_SET_BEFORE", "second").set("TAVIK_UNSET_BEFORE", "x");
        environment.prependToPath("/nowhere");
        EXPECT_STREQ(std::getenv("TAVIK_SET_BEFORE"), "second");
        EXPECT_TRUE(std::string(std::getenv("PATH")).starts_with("/nowhere:"));
    }
    EXPECT_STREQ(std::getenv("TAVIK_SET_BEFORE"), "before");
    EXPECT_EQ(std::getenv("TAVIK_UNSET_BEFORE"), nullptr);
    EXPECT_FALSE(std::string(std::getenv("PATH")).starts_with("/nowhere:"));
    ::unsetenv("TAVIK_SET_BEFORE");
}

} // namespace
} // namespace tavik::testing
