#include "Tavik/configuration/ApplicationsFolder.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

using namespace tavik;
namespace fs = std::filesystem;

TEST(ApplicationsFolderTest, RecognisesTheMachineAndTheUserFoldersAlsoThroughALink)
{
    tavik::testing::ScratchFolder root("tavik-apps");
    auto home = root / "home/me";
    fs::create_directories(home / "Applications");
    fs::create_directory_symlink(home / "Applications", root / "Apps");
    tavik::testing::ScopedEnvironment environment;
    environment.set("HOME", home.string());
    for (auto [folder, expected] : std::vector<std::pair<fs::path, bool>> {{"/Applications", true}, {home / "Applications", true}, {home / "Applications/", true}, {root / "Apps", true}, {home, false}, {home / "Downloads", false}, {home / "Applications/Games", false}})
        EXPECT_EQ(isApplicationsFolder(URL::fileURL(folder, true)), expected) << folder;

    // A home inside a container: the user's own folder is /<top>/<name>/Applications.
    environment.set("HOME", "/home/me/.var/app/app.tavik.Tavik/data");
    auto user = applicationsDirectories(SearchPathDomain::user);
    ASSERT_EQ(user.size(), 1u);
    EXPECT_EQ(user.front().path(), "/home/me/.var/app/app.tavik.Tavik/data/Applications");
    EXPECT_TRUE(isApplicationsFolder(URL::fileURL("/home/me/Applications", true)));
    EXPECT_FALSE(isApplicationsFolder(URL::fileURL("/home/other/Applications", true)));
}
