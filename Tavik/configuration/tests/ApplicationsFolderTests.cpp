#include "Tavik/configuration/ApplicationDockIconMenuBarOption.hpp"
#include "Tavik/configuration/ApplicationsFolder.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace tavik;
namespace fs = std::filesystem;

namespace {

// Points HOME at a temporary folder for the length of a test.
class TemporaryHome {
public:
    explicit TemporaryHome(const fs::path& home)
    {
        if (const char* old = std::getenv("HOME"))
            oldHome_ = old;
        ::setenv("HOME", home.c_str(), 1);
    }
    ~TemporaryHome()
    {
        if (oldHome_)
            ::setenv("HOME", oldHome_->c_str(), 1);
        else
            ::unsetenv("HOME");
    }

private:
    std::optional<std::string> oldHome_;
};

fs::path makeTemporaryFolder()
{
    std::string pattern = (fs::temp_directory_path() / "tavik-apps-XXXXXX").string();
    return fs::path(mkdtemp(pattern.data()));
}

} // namespace

TEST(ApplicationsFolderTest, RecognisesTheMachineAndTheUserFolders)
{
    auto root = makeTemporaryFolder();
    auto home = root / "home" / "me";
    fs::create_directories(home / "Applications");
    TemporaryHome temporaryHome(home);

    EXPECT_TRUE(isApplicationsFolder(URL::fileURL("/Applications", true)));
    EXPECT_TRUE(isApplicationsFolder(URL::fileURL(home / "Applications", true)));
    EXPECT_TRUE(isApplicationsFolder(URL::fileURL(home / "Applications" / "", true)));

    // Reached through a symbolic link, it is still the user's folder.
    fs::create_directory_symlink(home / "Applications", root / "Apps");
    EXPECT_TRUE(isApplicationsFolder(URL::fileURL(root / "Apps", true)));

    EXPECT_FALSE(isApplicationsFolder(URL::fileURL(home, true)));
    EXPECT_FALSE(isApplicationsFolder(URL::fileURL(home / "Downloads", true)));
    EXPECT_FALSE(isApplicationsFolder(URL::fileURL(home / "Applications" / "Games", true)));
    fs::remove_all(root);
}

TEST(ApplicationsFolderTest, UserFolderIsRebuiltFromTheUserDomainPath)
{
    // A home inside a container: the user's own folder is /<top>/<name>/Applications.
    TemporaryHome temporaryHome("/home/me/.var/app/app.tavik.Tavik/data");
    auto user = applicationsDirectories(SearchPathDomain::user);
    ASSERT_EQ(user.size(), 1u);
    EXPECT_EQ(user.front().path(), "/home/me/.var/app/app.tavik.Tavik/data/Applications");
    EXPECT_TRUE(isApplicationsFolder(URL::fileURL("/home/me/Applications", true)));
    EXPECT_FALSE(isApplicationsFolder(URL::fileURL("/home/other/Applications", true)));
}

// The raw values are what the settings file holds.
TEST(ApplicationDockIconMenuBarOptionTest, RawValuesAreTheStoredNames)
{
    std::vector<std::string> raw;
    for (auto option : ApplicationDockIconMenuBarOption::allCases())
        raw.push_back(option.rawValue());
    EXPECT_EQ(raw, (std::vector<std::string> {"MenuBarOnly", "DockOnly", "DockAndMenuBar"}));
    EXPECT_EQ(ApplicationDockIconMenuBarOption::fromRawValue("DockOnly"), ApplicationDockIconMenuBarOption::dockOnly);
    EXPECT_FALSE(ApplicationDockIconMenuBarOption::fromRawValue("menuBarOnly"));
}
