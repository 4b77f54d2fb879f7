#include "platform/workspace/Workspace.hpp"
#include "platform/workspace/WorkspaceError.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/plist/PropertyList.hpp"
#include "platform/testing/Bundles.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>

using namespace tavik;
using namespace tavik::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string infoPlist(const std::string& executable)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>app.tavik.Example</string>"
        + (executable.empty() ? "" : "<key>CFBundleExecutable</key><string>" + executable + "</string>") + "</dict></plist>\n";
}

// A program that writes down how it was started into `marker` (whole, once
// it is there), then ends.
std::string reportingScript(const fs::path& marker)
{
    return "#!/bin/sh\n{ echo \"pid $$\"\n  echo \"session $(cut -d' ' -f6 /proc/$$/stat)\"\n  echo \"stdin $(readlink /proc/$$/fd/0)\"\n"
           "  echo \"cwd $(pwd)\"\n  printf 'argument %s\\n' \"$@\"\n} > '"
        + marker.string() + ".part' && mv '" + marker.string() + ".part' '" + marker.string() + "'\n";
}

// What the marker says once it is there.
std::string waitForMarker(const fs::path& marker)
{
    eventually([&] { return fs::exists(marker); });
    return readFile(marker);
}

std::pair<RunningApplicationPtr, ErrorPtr> openApplication(const fs::path& bundle, const std::vector<std::string>& arguments = {})
{
    std::pair<RunningApplicationPtr, ErrorPtr> result;
    Workspace::shared()->openApplication(URL::fileURL(bundle), {arguments}, [&](RunningApplicationPtr running, ErrorPtr error) {
        result = {std::move(running), std::move(error)};
    });
    return result;
}

class WorkspaceTest : public ::testing::Test {
protected:
    ScratchFolder folder {"tavik-workspace"};
};

} // namespace

// The bundle's Info.plist is a binary one here; the broken bundles below read XML ones.
TEST_F(WorkspaceTest, OpenedBundleRunsDetachedWithItsArgumentsAsTheyAreUntilItEndsAndIsReaped)
{
    auto marker = folder / "marker";
    auto bundle = makeBundle(folder / "Example.app", {"Example Program", {}, reportingScript(marker) + "exec sleep 60\n"});
    writeFile(bundle / "Contents/Info.plist", plist::PropertyList(plist::PropertyList::Dictionary {{"CFBundleExecutable", "Example Program"}}).binaryRepresentation());

    auto [application, error] = openApplication(bundle, {"one two", "$(touch injected);x"});
    ASSERT_TRUE(application) << error->description();
    EXPECT_EQ(error, nullptr);
    EXPECT_TRUE(application->launchDate().has_value());
    EXPECT_EQ(application->url(), URL::fileURL(bundle));
    auto pid = std::to_string(application->processIdentifier());
    EXPECT_EQ(waitForMarker(marker), "pid " + pid + "\nsession " + pid + "\nstdin /dev/null\ncwd /\nargument one two\nargument $(touch injected);x\n");
    EXPECT_FALSE(fs::exists("/injected"));
    EXPECT_FALSE(application->waitUntilTerminated(200ms));
    EXPECT_FALSE(application->isTerminated());

    ASSERT_EQ(kill(application->processIdentifier(), SIGTERM), 0);
    ASSERT_TRUE(application->waitUntilTerminated(10s));
    EXPECT_TRUE(application->isTerminated());
    ASSERT_TRUE(application->terminationStatus().has_value());
    EXPECT_TRUE(WIFSIGNALED(*application->terminationStatus()));
    // Reaped: no zombie is left with that id.
    EXPECT_EQ(kill(application->processIdentifier(), 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(WorkspaceTest, BrokenBundlesGiveClearErrors)
{
    using Code = WorkspaceError::Code;
    struct Case {
        std::string name;
        std::optional<std::string> info; // none: no Info.plist
        std::string_view program; // what Contents/MacOS/<name> is: "runnable", "absent", "plain" or "folder"
        Code code;
        std::string says;
    };
    const Case cases[] = {
        {"NoPlist", std::nullopt, "runnable", Code::infoPlistMissing, "Info.plist is missing"},
        {"Garbage", "not a property list", "runnable", Code::infoPlistInvalid, "not a valid property list"},
        {"NoName", infoPlist(""), "runnable", Code::executableNotNamed, "CFBundleExecutable"},
        {"Escape", infoPlist("../../../bin/sh"), "absent", Code::executableNameInvalid, "not a file name"},
        {"Missing", infoPlist("Missing"), "absent", Code::executableMissing, "missing from Contents/MacOS"},
        {"Plain", infoPlist("Plain"), "plain", Code::executableNotRunnable, "not an executable"},
        {"Folder", infoPlist("Folder"), "folder", Code::executableNotRunnable, "not an executable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bundle = makeBundle(folder / (c.name + ".app"));
        auto program = bundle / "Contents/MacOS" / c.name;
        c.info ? writeFile(bundle / "Contents/Info.plist", *c.info) : void(fs::remove(bundle / "Contents/Info.plist"));
        if (c.program == "plain") fs::permissions(program, fs::perms(0644));
        if (c.program == "absent" || c.program == "folder") fs::remove(program);
        if (c.program == "folder") fs::create_directories(program);

        auto [application, error] = openApplication(bundle);
        EXPECT_EQ(application, nullptr);
        ASSERT_NE(error, nullptr);
        EXPECT_TRUE(isWorkspaceError(error, c.code)) << error->description();
        EXPECT_NE(error->description().find(c.name + ".app"), std::string::npos) << error->description();
        EXPECT_NE(error->description().find(c.says), std::string::npos) << error->description();
    }
}

TEST_F(WorkspaceTest, AnythingElseGoesToXdgOpenAndNothingIsStartedForWhatIsNotThere)
{
    // xdg-open without a desktop session hands the item to $BROWSER.
    auto marker = folder / "opened";
    auto handler = folder.write("handler", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + marker.string() + ".part' && mv '" + marker.string() + ".part' '" + marker.string() + "'\n");
    fs::permissions(handler.path(), fs::perms(0755));
    auto package = folder.write("Install Example.pkg", "xar!");
    ScopedEnvironment environment;
    environment.set("BROWSER", handler.path());
    for (auto variable : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID"})
        environment.unset(variable);

    auto application = Workspace::shared()->open(package);
    ASSERT_TRUE(application.ok()) << application.error()->description();
    EXPECT_EQ(waitForMarker(marker), package.path().string() + "\n");
    ASSERT_TRUE((*application)->waitUntilTerminated(10s));
    EXPECT_TRUE((*application)->launchDate().has_value());

    EXPECT_TRUE(isFileError(Workspace::shared()->open(folder.url("Gone.pkg")).error(), FileError::Code::fileReadNoSuchFile));

    // Without xdg-open there is nothing to open it with.
    environment.set("PATH", folder.path());
    EXPECT_TRUE(isWorkspaceError(Workspace::shared()->open(package).error(), WorkspaceError::Code::openerMissing));
}
