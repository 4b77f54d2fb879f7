// tavik-launcher against a private session bus, with small shell scripts
// standing in for tavik (one that answers with the quit signal, one that
// never answers), the real tavik, and a Tavik or launcher already on the bus.

#include "launcher/Launcher.hpp"
#include "launcher/LauncherBus.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/testing/CapturedProgram.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <fmt/format.h>
#include <sdbus-c++/sdbus-c++.h>

#include <csignal>

using namespace tavik;
using namespace tavik::launcher;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class LauncherTest : public ::testing::Test {
protected:
    // An executable script at `path`; it notes in `root/started` that it ran
    // and whether the launcher owned its bus name then.
    fs::path writeTavik(const fs::path& path, const std::string& thenDo)
    {
        tavik::testing::writeFile(path, "#!/bin/sh\nanswer=$(dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner string:app.tavik.TavikLauncher) || exit 1\n"
                                        "case \"$answer\" in *true*) echo 1 ;; *) echo 0 ;; esac > '"
                + (root / "started").string() + "'\n" + thenDo + "\n");
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    tavik::testing::ScratchFolder scratch {"tavik-launcher"};
    const fs::path root = scratch.path();
    tavik::testing::PrivateSessionBus sessionBus;
};

// Nothing is started while Tavik or another launcher runs; a Tavik that
// never answers is given up on, and one that cannot start is reported.
TEST_F(LauncherTest, StartsNothingWhileTavikOrALauncherRunsAndGivesUpOnATavikThatNeverAnswersOrCannotStart)
{
    const std::pair<const char*, LaunchOutcome> cases[] = {
        {LauncherBus::tavikName, LaunchOutcome::alreadyRunning},
        {LauncherBus::launcherName, LaunchOutcome::anotherLauncherRunning},
    };
    for (const auto& [owner, expected] : cases) {
        SCOPED_TRACE(owner);
        auto onBus = sdbus::createSessionBusConnection(owner);
        log::LogCapture logs;
        EXPECT_EQ(runLauncher({writeTavik(root / "bin/tavik", "true"), 2s}), expected);
        EXPECT_EQ(logs.count("Launched main app, waiting for termination notification"), 0u);
        std::this_thread::sleep_for(200ms);
        EXPECT_FALSE(fs::exists(root / "started"));
    }

    log::LogCapture logs;
    EXPECT_EQ(runLauncher({writeTavik(root / "bin/tavik", "exec sleep 3 >/dev/null 2>&1"), 1s}), LaunchOutcome::timedOut);
    EXPECT_TRUE(logs.contains(log::Level::defaultLevel, "Main app did not request launcher to quit within 1 seconds; quiting"));
    EXPECT_EQ(logs.count("Main app has requested launcher to quit"), 0u);
    auto outcome = runLauncher({root / "missing/tavik", 1s});
    EXPECT_EQ(outcome, LaunchOutcome::launchFailed);
    EXPECT_EQ(exitStatus(outcome), 1);
    auto entries = logs.entries("App Delegate");
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().level, log::Level::error);
    EXPECT_TRUE(entries.back().message.starts_with("Failed to launch main app: ")) << entries.back().message;
    EXPECT_NE(entries.back().message.find("tavik"), std::string::npos) << entries.back().message;
}

// The real tavik, started by the launcher, tells it to quit at the end of its launch.
TEST_F(LauncherTest, TheRealTavikReleasesTheLauncher)
{
    // Tavik's settings and temporary folder stay inside the test's folder.
    tavik::testing::ScopedEnvironment environment;
    environment.set("XDG_CONFIG_HOME", root / "config").set("TMPDIR", root);
    log::LogCapture logs;
    EXPECT_EQ(runLauncher({TAVIK_EXECUTABLE, 60s}), LaunchOutcome::quitRequested);
    EXPECT_TRUE(logs.contains(log::Level::defaultLevel, "Main app has requested launcher to quit"));
    EXPECT_FALSE(isNameOnSessionBus(LauncherBus::launcherName).value()) << "the name goes with the launcher";

    // Tavik runs on; end it the way a session does.
    auto connection = sdbus::createSessionBusConnection();
    auto bus = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    uint32_t pid = 0;
    bus->callMethod("GetConnectionUnixProcessID").onInterface("org.freedesktop.DBus").withArguments(std::string(LauncherBus::tavikName)).storeResultsTo(pid);
    ASSERT_GT(pid, 0u);
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGTERM), 0);
    EXPECT_TRUE(tavik::testing::eventually([] { return !isNameOnSessionBus(LauncherBus::tavikName).value(); }));
}

// The installed program finds tavik through its prefix, owns its bus name
// while tavik starts, and ends on its answer.
TEST_F(LauncherTest, InstalledLauncherStartsTavikFromItsPrefixOrBesideItAndEndsWhenItSendsTheQuitSignal)
{
    auto launcher = root / "prefix/libexec/tavik/tavik-launcher";
    fs::create_directories(launcher.parent_path());
    fs::copy_file(TAVIK_LAUNCHER, launcher);
    writeTavik(root / "prefix/bin/tavik", fmt::format("exec dbus-send --session --type=signal {} {}.{}", LauncherBus::quitSignalPath, LauncherBus::quitSignalInterface, LauncherBus::quitSignalName));

    auto ended = tavik::testing::CapturedProgram({"env", "TAVIK_LOG=stderr", "TAVIK_LOG_LEVEL=debug", launcher}, root, "launcher").finish();
    ASSERT_TRUE(ended) << "still running";
    auto text = ended->err;
    EXPECT_EQ(ended->status, 0) << text;
    // The script runs detached: its note comes a moment later.
    EXPECT_TRUE(tavik::testing::eventually([&] { return tavik::testing::readFile(root / "started") == "1\n"; })) << "the launcher owned its bus name while Tavik started";
    EXPECT_NE(text.find("Launched main app, waiting for termination notification"), std::string::npos) << text;
    EXPECT_NE(text.find("Main app has requested launcher to quit"), std::string::npos) << "the answer, not the time-out, ended the wait:\n"
                                                                                       << text;

    // A tavik beside the launcher comes first, unless it cannot be run.
    auto beside = writeTavik(root / "prefix/libexec/tavik/tavik", "true");
    EXPECT_EQ(tavikExecutableFor(launcher), beside);
    fs::permissions(beside, fs::perms::owner_read);
    EXPECT_EQ(tavikExecutableFor(launcher), root / "prefix/bin/tavik");
}

} // namespace
