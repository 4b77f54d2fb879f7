// The commands run as the user runs them: the built `tavik` in a process of
// its own, on a scratch XDG_CONFIG_HOME; the settings commands without a
// session bus, the others on a private one.
#include "platform/testing/CapturedProgram.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/Programs.hpp"
#include "platform/testing/ScratchFolder.hpp"
#include "platform/testing/TestNotificationServer.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using tavik::testing::CapturedProgram;
using tavik::testing::eventually;
using tavik::testing::PrivateSessionBus;
using tavik::testing::ProgramOutcome;
using tavik::testing::readFile;
using tavik::testing::TestNotificationServer;
using namespace std::chrono_literals;

namespace {

Strings split(const std::string& text, char separator)
{
    Strings parts;
    std::istringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);)
        parts.push_back(part);
    return parts;
}

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (auto* folder : {"Applications", "Other Applications", "Downloads", "tmp"})
            fs::create_directories(root / folder);
        fs::create_directory_symlink(root / "Downloads", root / "LinkToDownloads");
        tavik::testing::writeFile(root / "Example.zip", "a file");
    }
    void TearDown() override { EXPECT_EQ(chdir("/"), 0); } // a test may have gone into root

    std::string path(const std::string& name) const { return (root / name).string(); }

    // Starts the built tavik with the test's private folders and `environment`
    // on top; on the session bus this process points at when `onBus`, else
    // without one. Its output goes to files named after `name`.
    CapturedProgram start(const Strings& arguments, const std::string& name = "run", bool onBus = false, const std::map<std::string, std::string>& environment = {})
    {
        Strings command {"env", "XDG_CONFIG_HOME=" + path("config"), "XDG_DATA_HOME=" + path("data"), "TMPDIR=" + path("tmp")};
        if (!onBus)
            command.insert(command.begin() + 1, {"-u", "DBUS_SESSION_BUS_ADDRESS"});
        for (const auto& [variable, value] : environment)
            command.push_back(variable + "=" + value);
        command.push_back(TAVIK_EXECUTABLE);
        command.insert(command.end(), arguments.begin(), arguments.end());
        return CapturedProgram(command, root, name);
    }
    ProgramOutcome tavik(const Strings& arguments, const std::map<std::string, std::string>& environment = {})
    {
        return start(arguments, "run", false, environment).finish().value();
    }
    std::vector<Strings> list()
    {
        auto run = tavik({"sources", "list"});
        EXPECT_EQ(run.status, 0) << run.err;
        std::vector<Strings> rows;
        for (auto& line : split(run.out, '\n'))
            rows.push_back(split(line, '\t'));
        return rows;
    }

    tavik::testing::ScratchFolder scratch {"tavik-cli"};
    fs::path root = scratch.path();
};

} // namespace

TEST_F(CommandLineTest, SetupGivesEverySourceTheDestinationAndWatchesTheFolderOnce)
{
    auto rows = list();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (Strings {"AppIcon", "App Icon", "searchForApplications", "askWhenMultipleFound", "askWhenMultipleCopied", "moveToTrash", "-", "unavailable"}));

    EXPECT_EQ(tavik({"setup", "--status"}).out, "not done\n");
    ASSERT_EQ(tavik({"setup", "--destination", path("Applications"), "--watch", path("Downloads")}).status, 0);
    EXPECT_EQ(tavik({"setup", "--status"}).out, "done\n");
    rows = list();
    ASSERT_EQ(rows.size(), 3u);
    for (auto& row : rows)
        EXPECT_EQ((Strings {row[6], row[7]}), (Strings {path("Applications"), "available"})) << row[0];
    EXPECT_EQ((Strings {rows[1][0], rows[2][1]}), (Strings {"StatusBarIcon", path("Downloads")}));

    // Again, through a symbolic link and from relative paths: no second source.
    ASSERT_EQ(chdir(root.c_str()), 0);
    EXPECT_EQ(tavik({"setup", "--destination", "Applications", "--watch", "LinkToDownloads"}).status, 0);
    EXPECT_EQ(list().size(), 3u);
}

TEST_F(CommandLineTest, AddSetAndRemoveRoundTripAndHelpDocumentsEveryCommand)
{
    auto added = tavik({"sources", "add", path("Downloads"), "--destination", path("Applications")});
    ASSERT_EQ(added.status, 0) << added.err;
    auto id = split(added.out, '\n').at(0);
    EXPECT_EQ(list().at(2), (Strings {id, path("Downloads"), "searchForApplications", "askWhenMultipleFound", "askWhenMultipleCopied", "moveToTrash", path("Applications"), "available"}));
    for (auto& [key, value] : std::vector<std::pair<std::string, std::string>> {{"FileFoundAction", "ignore"}, {"ApplicationFoundAction", "copyToDestination"}, {"ApplicationCopiedAction", "openApp"}, {"AllApplicationsHandledAction", "doNothing"}, {"Destination", path("Other Applications")}})
        EXPECT_EQ(tavik({"sources", "set", id, key, value}).status, 0) << key;
    EXPECT_EQ(list().at(2), (Strings {id, path("Downloads"), "ignore", "copyToDestination", "openApp", "doNothing", path("Other Applications"), "partiallyAvailable"}));
    EXPECT_EQ(tavik({"sources", "set", "AppIcon", "Destination", path("Applications")}).status, 0);
    EXPECT_EQ(list().at(0).at(7), "available");
    ASSERT_EQ(tavik({"sources", "remove", id}).status, 0);
    EXPECT_EQ(list().size(), 2u);

    auto help = tavik({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* text : {"setup --destination DIR [--watch DIR]", "setup --status", "sources list", "sources add DIR [--destination DIR]", "sources remove ID", "sources set ID KEY VALUE", "alwaysAsk, searchForApplications, ignore", "doNothing, moveToTrash"})
        EXPECT_NE(help.out.find(text), std::string::npos) << text;
}

TEST_F(CommandLineTest, BadInputGetsOneLineAndStatusTwoAndChangesNothing)
{
    // Before anything is stored, an unknown id writes nothing either.
    EXPECT_EQ(tavik({"sources", "remove", "NoSuchSource"}).status, 2);
    EXPECT_FALSE(fs::exists(root / "config/tavik/app.tavik.Tavik.plist"));

    auto id = split(tavik({"sources", "add", path("Downloads")}).out, '\n').at(0);
    auto settings = [&] { return readFile(root / "config/tavik/app.tavik.Tavik.plist"); };
    auto before = settings();
    for (auto& command : std::vector<Strings> {
             {"sources", "set", id, "FileFoundAction", "Ignore"},
             {"sources", "set", id, "ApplicationFoundAction", "sometimes"},
             {"sources", "set", id, "DisplayName", "Mine"},
             {"sources", "set", id, "Destination", path("Missing")},
             {"sources", "set", id, "Destination", path("Example.zip")},
             {"sources", "set", "NoSuchSource", "FileFoundAction", "ignore"},
             {"sources", "remove", "AppIcon"},
             {"sources", "add", path("Missing")},
             {"sources", "add", path("Example.zip")},
             {"sources", "add", path("LinkToDownloads")},
             {"sources", "add", path("Applications"), "--destination", path("Missing")},
             {"sources", "add"},
             {"sources"},
             {"setup"},
             {"setup", "--destination", path("Applications"), "--watch", path("Missing")},
             {"setup", "--status", "--destination", path("Applications")},
             {"--no-such-option"},
         }) {
        SCOPED_TRACE(::testing::PrintToString(command));
        auto run = tavik(command);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(run.err.starts_with("tavik: ")) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(settings(), before);
    }
}

TEST_F(CommandLineTest, WithoutAUsableDisplayTavikSaysItRunsHeadless)
{
    // A display that is not there must neither hang nor crash the start.
    // Without a session bus the headless run then ends at once, saying why.
    auto run = tavik({}, {{"DISPLAY", ":987"}, {"QT_QPA_PLATFORM", "xcb"}, {"WAYLAND_DISPLAY", ""}});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(run.err.starts_with("tavik: ")) << run.err;
    EXPECT_NE(run.err.find("running headless"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("cannot take the session bus name"), std::string::npos) << run.err;
    EXPECT_NE(tavik({"--headless"}).err.find("running headless (--headless)"), std::string::npos);
}

// A dropped file whose question is open when the notification server quits,
// or when the session bus itself goes: the question ends as dismissed, so
// `open` reports it and ends instead of waiting for good.
TEST_F(CommandLineTest, OpenEndsWithDismissedWhenTheServerOrTheBusGoesUnderItsQuestion)
{
    ASSERT_EQ(tavik({"setup", "--destination", path("Applications")}).status, 0);
    ASSERT_EQ(tavik({"sources", "set", "AppIcon", "FileFoundAction", "alwaysAsk"}).status, 0);
    for (bool busGoes : {false, true}) {
        SCOPED_TRACE(busGoes ? "the bus goes away" : "the server quits");
        PrivateSessionBus bus;
        auto server = std::make_unique<TestNotificationServer>();
        auto open = start({"open", path("Example.zip")}, "open", true);
        auto posted = server->waitForPosted(1, 60s);
        if (posted.size() != 1)
            FAIL() << "no question was posted: " << readFile(root / "open.err");
        EXPECT_EQ(posted[0].summary, "Found ZIP");
        if (busGoes) {
            // Give the post's reply time to arrive, or the post itself fails.
            std::this_thread::sleep_for(300ms);
            bus.kill();
        } else {
            server.reset();
        }
        auto ended = open.finish();
        ASSERT_TRUE(ended) << "still waiting for an answer";
        EXPECT_EQ(ended->status, 1) << ended->err;
        const std::string prefix = "Result of file dropped on app icon: ";
        auto reported = ended->out.find(prefix);
        ASSERT_NE(reported, std::string::npos) << ended->out;
        auto outcome = ended->out.substr(reported + prefix.size());
        if (busGoes && outcome.starts_with("error(The notification server failed: Connection terminated)"))
            std::cerr << "the bus went before the post was answered; the post failed instead\n";
        else
            EXPECT_EQ(outcome, "dismissed\n");
        EXPECT_TRUE(fs::exists(root / "Example.zip"));
    }
}

// The bus going away under a running Tavik, with a question open: it quits
// as on SIGTERM, with status 0, and does not abort.
TEST_F(CommandLineTest, HeadlessTavikQuitsCleanlyWhenItsBusGoesAway)
{
    ASSERT_EQ(tavik({"setup", "--destination", path("Applications")}).status, 0);
    ASSERT_EQ(tavik({"sources", "set", "AppIcon", "FileFoundAction", "alwaysAsk"}).status, 0);
    PrivateSessionBus bus;
    TestNotificationServer server;
    auto headless = start({"--headless"}, "headless", true);
    // Answered only once the name has an owner: the bus starts no service for it.
    bool serving = eventually([] { return tavik::testing::run({"dbus-send", "--session", "--print-reply", "--dest=app.tavik.Tavik", "/", "org.freedesktop.DBus.Peer.Ping"}) == 0; });
    if (serving) {
        auto handed = start({"open", path("Example.zip")}, "open", true).finish();
        EXPECT_EQ(handed.value_or(ProgramOutcome {}).out, "Handed 1 file(s) to the running Tavik\n");
        EXPECT_EQ(server.waitForPosted(1, 60s).size(), 1u);
    }
    bus.kill();
    auto ended = headless.finish();
    ASSERT_TRUE(serving) << readFile(root / "headless.err");
    ASSERT_TRUE(ended) << "still running after its bus went away";
    EXPECT_EQ(ended->status, 0) << "128 + n: ended by signal n\n"
                                << ended->err;
    EXPECT_NE(ended->err.find("tavik: lost the session bus"), std::string::npos) << ended->err;
}
