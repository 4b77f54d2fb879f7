// The settings commands run as the user runs them: the built `tavik` in a
// process of its own, on a temporary XDG_CONFIG_HOME.
#include "platform/foundation/UUID.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readAll(const fs::path& file)
{
    std::ifstream stream(file, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        result.push_back(line.substr(start, tab - start));
    result.push_back(line.substr(start));
    return result;
}

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tavik-cli-XXXXXX").string();
        root = fs::path(mkdtemp(pattern.data()));
        config = root / "config";
        fs::create_directories(root / "Applications");
        fs::create_directories(root / "Other Applications");
        fs::create_directories(root / "Downloads");
        fs::create_directory_symlink(root / "Downloads", root / "LinkToDownloads");
        std::ofstream(root / "Example.zip") << "a file";
    }
    void TearDown() override
    {
        std::error_code error;
        fs::remove_all(root, error);
    }

    fs::path settingsFile() const { return config / "tavik" / "app.tavik.Tavik.plist"; }

    Outcome tavik(const std::vector<std::string>& arguments)
    {
        Outcome run;
        auto out = root / "stdout", err = root / "stderr";
        pid_t child = fork();
        if (child == 0) {
            int outFD = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int errFD = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(outFD, STDOUT_FILENO);
            dup2(errFD, STDERR_FILENO);
            setenv("XDG_CONFIG_HOME", config.c_str(), 1);
            // No session bus: the settings commands must not need one.
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
            std::vector<char*> argv { const_cast<char*>(TAVIK_EXECUTABLE) };
            for (auto& argument : arguments)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run.out = readAll(out);
        run.err = readAll(err);
        return run;
    }

    std::vector<std::vector<std::string>> list()
    {
        auto run = tavik({ "sources", "list" });
        EXPECT_EQ(run.status, 0) << run.err;
        std::vector<std::vector<std::string>> rows;
        for (auto& line : lines(run.out))
            rows.push_back(fields(line));
        return rows;
    }

    fs::path root;
    fs::path config;
};

} // namespace

TEST_F(CommandLineTest, FirstListShowsTheTwoIconSourcesWithoutDestination)
{
    auto rows = list();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string> { "AppIcon", "App Icon", "searchForApplications", "askWhenMultipleFound",
                           "askWhenMultipleCopied", "moveToTrash", "-", "unavailable" }));
    EXPECT_EQ(rows[1][0], "StatusBarIcon");
    EXPECT_EQ(rows[1][1], "Status Bar Icon");
    EXPECT_EQ(rows[1].size(), 8u);
}

TEST_F(CommandLineTest, SetupGivesEverySourceTheDestinationAndWatchesTheFolderOnce)
{
    EXPECT_EQ(tavik({ "setup", "--status" }).out, "not done\n");
    auto setup = tavik({ "setup", "--destination", (root / "Applications").string(), "--watch", (root / "Downloads").string() });
    ASSERT_EQ(setup.status, 0) << setup.err;
    EXPECT_EQ(tavik({ "setup", "--status" }).out, "done\n");

    auto rows = list();
    ASSERT_EQ(rows.size(), 3u);
    for (auto& row : rows) {
        EXPECT_EQ(row[6], (root / "Applications").string()) << row[0];
        EXPECT_EQ(row[7], "available") << row[0];
    }
    EXPECT_TRUE(tavik::UUID::fromString(rows[2][0])) << rows[2][0];
    EXPECT_EQ(rows[2][1], (root / "Downloads").string());

    // Again, through a symbolic link and from a relative path: no second source.
    ASSERT_EQ(chdir(root.c_str()), 0);
    setup = tavik({ "setup", "--destination", "Applications", "--watch", "LinkToDownloads" });
    ASSERT_EQ(setup.status, 0) << setup.err;
    EXPECT_EQ(list().size(), 3u);
}

TEST_F(CommandLineTest, AddSetAndRemoveRoundTrip)
{
    auto added = tavik({ "sources", "add", (root / "Downloads").string(), "--destination", (root / "Applications").string() });
    ASSERT_EQ(added.status, 0) << added.err;
    auto id = lines(added.out).at(0);
    auto rows = list();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2], (std::vector<std::string> { id, (root / "Downloads").string(), "searchForApplications",
                           "askWhenMultipleFound", "askWhenMultipleCopied", "moveToTrash",
                           (root / "Applications").string(), "available" }));

    for (auto& [key, value] : std::vector<std::pair<std::string, std::string>> { { "FileFoundAction", "ignore" },
             { "ApplicationFoundAction", "copyToDestination" }, { "ApplicationCopiedAction", "openApp" },
             { "AllApplicationsHandledAction", "doNothing" }, { "Destination", (root / "Other Applications").string() } }) {
        auto set = tavik({ "sources", "set", id, key, value });
        EXPECT_EQ(set.status, 0) << key << ": " << set.err;
    }
    EXPECT_EQ(list()[2], (std::vector<std::string> { id, (root / "Downloads").string(), "ignore", "copyToDestination",
                             "openApp", "doNothing", (root / "Other Applications").string(), "partiallyAvailable" }));
    // The icons can be changed too.
    EXPECT_EQ(tavik({ "sources", "set", "AppIcon", "Destination", (root / "Applications").string() }).status, 0);
    EXPECT_EQ(list()[0][7], "available");

    auto removed = tavik({ "sources", "remove", id });
    ASSERT_EQ(removed.status, 0) << removed.err;
    rows = list();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "AppIcon");
    EXPECT_EQ(rows[1][0], "StatusBarIcon");
}

TEST_F(CommandLineTest, BadInputGetsOneLineAndStatusTwoAndChangesNothing)
{
    auto added = tavik({ "sources", "add", (root / "Downloads").string() });
    ASSERT_EQ(added.status, 0) << added.err;
    auto id = lines(added.out).at(0);
    auto before = readAll(settingsFile());
    ASSERT_FALSE(before.empty());

    auto missing = (root / "Missing").string();
    auto file = (root / "Example.zip").string();
    auto applications = (root / "Applications").string();
    std::vector<std::vector<std::string>> badCommands {
        { "sources", "set", id, "FileFoundAction", "Ignore" },
        { "sources", "set", id, "ApplicationFoundAction", "sometimes" },
        { "sources", "set", id, "DisplayName", "Mine" },
        { "sources", "set", id, "Destination", missing },
        { "sources", "set", id, "Destination", file },
        { "sources", "set", "NoSuchSource", "FileFoundAction", "ignore" },
        { "sources", "remove", "NoSuchSource" },
        { "sources", "remove", "AppIcon" },
        { "sources", "add", missing },
        { "sources", "add", file },
        { "sources", "add", (root / "LinkToDownloads").string() },
        { "sources", "add", (root / "Applications").string(), "--destination", missing },
        { "sources", "add" },
        { "sources" },
        { "sources", "rename", id },
        { "setup" },
        { "setup", "--destination", applications, "--watch", missing },
        { "setup", "--status", "--destination", applications },
        { "--no-such-option" },
    };
    for (auto& command : badCommands) {
        std::string shown;
        for (auto& argument : command)
            shown += argument + " ";
        auto run = tavik(command);
        EXPECT_EQ(run.status, 2) << shown;
        EXPECT_EQ(run.err.rfind("tavik: ", 0), 0u) << shown << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << shown << run.err;
        EXPECT_EQ(readAll(settingsFile()), before) << shown;
    }
}

TEST_F(CommandLineTest, BadInputOnFirstUseWritesNoSettings)
{
    EXPECT_EQ(tavik({ "sources", "remove", "NoSuchSource" }).status, 2);
    EXPECT_EQ(tavik({ "sources", "set", "NoSuchSource", "FileFoundAction", "ignore" }).status, 2);
    EXPECT_FALSE(fs::exists(settingsFile()));
}

TEST_F(CommandLineTest, HelpDocumentsEveryCommand)
{
    auto help = tavik({ "--help" });
    EXPECT_EQ(help.status, 0);
    for (const char* text : { "setup --destination DIR [--watch DIR]", "setup --status", "sources list",
             "sources add DIR [--destination DIR]", "sources remove ID", "sources set ID KEY VALUE",
             "alwaysAsk, searchForApplications, ignore", "doNothing, moveToTrash" })
        EXPECT_NE(help.out.find(text), std::string::npos) << text;
}
