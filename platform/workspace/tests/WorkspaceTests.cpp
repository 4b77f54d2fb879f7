#include "platform/workspace/Workspace.hpp"
#include "platform/workspace/WorkspaceError.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/plist/PropertyList.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace tavik;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& path)
{
    std::ifstream stream(path);
    std::stringstream buffer;
    buffer << stream.rdbuf();
    return buffer.str();
}

bool waitForFile(const fs::path& path)
{
    for (int i = 0; i < 1000 && !fs::exists(path); ++i)
        std::this_thread::sleep_for(10ms);
    return fs::exists(path);
}

std::string infoPlist(const std::string& executable)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>app.tavik.Example</string>"
        + (executable.empty() ? "" : "<key>CFBundleExecutable</key><string>" + executable + "</string>")
        + "</dict></plist>\n";
}

class WorkspaceTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tavik-workspace-XXXXXX").string();
        folder_ = mkdtemp(pattern.data());
    }
    void TearDown() override { fs::remove_all(folder_); }

    fs::path makeBundle(const std::string& name, const std::string& plist, const std::string& executable,
        const std::string& script, mode_t mode = 0755)
    {
        auto bundle = folder_ / (name + ".app");
        fs::create_directories(bundle / "Contents/MacOS");
        if (!plist.empty())
            std::ofstream(bundle / "Contents/Info.plist") << plist;
        if (!executable.empty()) {
            std::ofstream(bundle / "Contents/MacOS" / executable) << script;
            chmod((bundle / "Contents/MacOS" / executable).c_str(), mode);
        }
        return bundle;
    }

    // A program that writes down how it was started, then ends.
    std::string reportingScript(const fs::path& marker)
    {
        return "#!/bin/sh\n"
               "{ echo \"pid $$\"\n"
               "  echo \"session $(cut -d' ' -f6 /proc/$$/stat)\"\n"
               "  echo \"stdin $(readlink /proc/$$/fd/0)\"\n"
               "  echo \"cwd $(pwd)\"\n"
               "  printf 'argument %s\\n' \"$@\"\n"
               "} > '"
            + marker.string() + ".part' && mv '" + marker.string() + ".part' '" + marker.string() + "'\n";
    }

    fs::path folder_;
};

} // namespace

TEST_F(WorkspaceTest, OpenedBundleReallyRunsDetachedAndIsReaped)
{
    auto marker = folder_ / "marker";
    auto bundle = makeBundle("Example", infoPlist("Example Program"), "Example Program", reportingScript(marker));

    RunningApplicationPtr application;
    ErrorPtr error;
    Workspace::shared()->openApplication(URL::fileURL(bundle), {{"one two", "$(touch injected);x"}},
        [&](RunningApplicationPtr running, ErrorPtr failure) {
            application = std::move(running);
            error = std::move(failure);
        });
    ASSERT_TRUE(application) << error->description();
    EXPECT_EQ(error, nullptr);
    EXPECT_TRUE(application->launchDate().has_value());
    EXPECT_EQ(application->url(), URL::fileURL(bundle));

    ASSERT_TRUE(waitForFile(marker));
    auto pid = std::to_string(application->processIdentifier());
    EXPECT_EQ(contents(marker),
        "pid " + pid + "\nsession " + pid + "\nstdin /dev/null\ncwd /\nargument one two\nargument $(touch injected);x\n");
    EXPECT_FALSE(fs::exists("/injected"));

    ASSERT_TRUE(application->waitUntilTerminated(10s));
    EXPECT_TRUE(application->isTerminated());
    ASSERT_TRUE(application->terminationStatus().has_value());
    EXPECT_TRUE(WIFEXITED(*application->terminationStatus()));
    EXPECT_EQ(WEXITSTATUS(*application->terminationStatus()), 0);
    // Reaped: no zombie is left with that id.
    EXPECT_EQ(kill(application->processIdentifier(), 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(WorkspaceTest, BinaryInfoPlistAndARunningApplicationThatIsStopped)
{
    plist::PropertyList info(plist::PropertyList::Dictionary {{"CFBundleExecutable", "Sleeper"}});
    auto bundle = makeBundle("Sleeper", info.binaryRepresentation(), "Sleeper", "#!/bin/sh\nexec sleep 60\n");

    auto application = Workspace::shared()->open(URL::fileURL(bundle));
    ASSERT_TRUE(application.ok()) << application.error()->description();
    EXPECT_FALSE((*application)->waitUntilTerminated(200ms));
    EXPECT_FALSE((*application)->isTerminated());

    ASSERT_EQ(kill((*application)->processIdentifier(), SIGTERM), 0);
    ASSERT_TRUE((*application)->waitUntilTerminated(10s));
    EXPECT_TRUE(WIFSIGNALED(*(*application)->terminationStatus()));
}

TEST_F(WorkspaceTest, BrokenBundlesGiveClearErrors)
{
    struct Case {
        fs::path bundle;
        WorkspaceError::Code code;
        std::string says;
    };
    std::vector<Case> cases = {
        {makeBundle("NoPlist", "", "NoPlist", "#!/bin/sh\n"), WorkspaceError::Code::infoPlistMissing, "Info.plist is missing"},
        {makeBundle("Garbage", "not a property list", "Garbage", "#!/bin/sh\n"), WorkspaceError::Code::infoPlistInvalid, "not a valid property list"},
        {makeBundle("NoName", infoPlist(""), "NoName", "#!/bin/sh\n"), WorkspaceError::Code::executableNotNamed, "CFBundleExecutable"},
        {makeBundle("Escape", infoPlist("../../../bin/sh"), "", ""), WorkspaceError::Code::executableNameInvalid, "not a file name"},
        {makeBundle("Missing", infoPlist("Missing"), "", ""), WorkspaceError::Code::executableMissing, "missing from Contents/MacOS"},
        {makeBundle("Plain", infoPlist("Plain"), "Plain", "#!/bin/sh\n", 0644), WorkspaceError::Code::executableNotRunnable, "not an executable"},
    };
    fs::create_directories(folder_ / "Folder.app/Contents/MacOS/Folder");
    cases.push_back({folder_ / "Folder.app", WorkspaceError::Code::executableNotRunnable, "not an executable"});
    std::ofstream(folder_ / "Folder.app/Contents/Info.plist") << infoPlist("Folder");

    for (const auto& item : cases) {
        RunningApplicationPtr application;
        ErrorPtr error;
        Workspace::shared()->openApplication(URL::fileURL(item.bundle), {}, [&](RunningApplicationPtr running, ErrorPtr failure) {
            application = std::move(running);
            error = std::move(failure);
        });
        EXPECT_EQ(application, nullptr) << item.bundle;
        ASSERT_NE(error, nullptr) << item.bundle;
        EXPECT_TRUE(isWorkspaceError(error, item.code)) << item.bundle << ": " << error->description();
        EXPECT_NE(error->description().find(item.bundle.filename().string()), std::string::npos) << error->description();
        EXPECT_NE(error->description().find(item.says), std::string::npos) << error->description();
    }
}

TEST_F(WorkspaceTest, AnythingElseGoesToXdgOpen)
{
    // xdg-open without a desktop session hands the item to $BROWSER.
    auto marker = folder_ / "opened";
    auto handler = folder_ / "handler";
    std::ofstream(handler) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << marker.string() << ".part' && mv '" << marker.string()
                           << ".part' '" << marker.string() << "'\n";
    chmod(handler.c_str(), 0755);
    auto package = folder_ / "Install Example.pkg";
    std::ofstream(package) << "xar!";
    setenv("BROWSER", handler.c_str(), 1);
    for (auto variable : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID"})
        unsetenv(variable);

    auto application = Workspace::shared()->open(URL::fileURL(package));
    ASSERT_TRUE(application.ok()) << application.error()->description();
    ASSERT_TRUE(waitForFile(marker));
    EXPECT_EQ(contents(marker), package.string() + "\n");
    ASSERT_TRUE((*application)->waitUntilTerminated(10s));
    EXPECT_TRUE((*application)->launchDate().has_value());

    // Nothing at the path: nothing is started.
    auto gone = Workspace::shared()->open(URL::fileURL(folder_ / "Gone.pkg", false));
    ASSERT_FALSE(gone.ok());
    EXPECT_TRUE(isFileError(gone.error(), FileError::Code::fileReadNoSuchFile));

    // Without xdg-open there is nothing to open it with.
    auto path = std::string(std::getenv("PATH"));
    setenv("PATH", folder_.c_str(), 1);
    auto missing = Workspace::shared()->open(URL::fileURL(package));
    setenv("PATH", path.c_str(), 1);
    ASSERT_FALSE(missing.ok());
    EXPECT_TRUE(isWorkspaceError(missing.error(), WorkspaceError::Code::openerMissing));
}
