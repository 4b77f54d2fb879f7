// The login item against a real autostart folder in a temporary XDG_CONFIG_HOME.

#include "platform/foundation/FileError.hpp"
#include "platform/loginitem/LoginItem.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

using namespace tavik;
namespace fs = std::filesystem;

namespace {

class LoginItemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tavik-autostart-XXXXXX").string();
        root = fs::path(mkdtemp(pattern.data()));
        ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    }
    // A program the entry can name: a script that does nothing.
    fs::path program(const std::string& relative)
    {
        auto path = root / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "#!/bin/sh\n";
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }
    void TearDown() override
    {
        std::error_code error;
        fs::remove_all(root, error);
    }
    static std::string read(const fs::path& path)
    {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    fs::path root;
};

TEST_F(LoginItemTest, EnablingWritesTheEntryAndDisablingRemovesIt)
{
    EXPECT_EQ(LoginItem::defaultAutostartFolder(), root / "config/autostart");
    auto launcher = program("ta vik/libexec/tavik/tavik-launcher");
    LoginItem item("app.tavik.TavikLauncher", "Tavik Launcher", launcher);
    EXPECT_EQ(item.entryPath(), root / "config/autostart/app.tavik.TavikLauncher.desktop");
    EXPECT_FALSE(item.isEnabled()) << "no folder, no entry";

    ASSERT_TRUE(item.setEnabled(true));
    EXPECT_TRUE(item.isEnabled());
    auto text = read(item.entryPath());
    EXPECT_NE(text.find("Exec=\"" + launcher.string() + "\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Type=Application\n"), std::string::npos) << text;
    EXPECT_EQ(fs::status(item.entryPath()).permissions() & fs::perms::all, fs::perms(0644));
    ASSERT_TRUE(item.setEnabled(true)) << "enabling twice is fine";
    EXPECT_EQ(std::distance(fs::directory_iterator(item.entryPath().parent_path()), fs::directory_iterator()), 1)
        << "no temporary file is left behind";

    ASSERT_TRUE(item.setEnabled(false));
    EXPECT_FALSE(item.isEnabled());
    EXPECT_FALSE(fs::exists(item.entryPath()));
    EXPECT_TRUE(item.setEnabled(false)) << "disabling what is not there is fine";
}

TEST_F(LoginItemTest, AnEntryHiddenOrSwitchedOffElsewhereCountsAsDisabled)
{
    LoginItem item("app.tavik.TavikLauncher", "Tavik Launcher", "/usr/libexec/tavik/tavik-launcher");
    struct Case {
        const char* text;
        bool enabled;
    };
    const Case cases[] = {
        {"[Desktop Entry]\nType=Application\nExec=x\n", true},
        {"[Desktop Entry]\nExec=x\nHidden=true\n", false},
        {"[Desktop Entry]\nExec=x\nHidden = true\n", false},
        {"[Desktop Entry]\nExec=x\nHidden=false\n", true},
        {"[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled=false\n", false},
        {"# a comment\n[Desktop Entry]\nExec=x\n[Desktop Action x]\nHidden=true\n", true},
        {"not a desktop entry", false},
        {"", false},
    };
    fs::create_directories(item.entryPath().parent_path());
    for (const auto& c : cases) {
        std::ofstream(item.entryPath()) << c.text;
        EXPECT_EQ(item.isEnabled(), c.enabled) << c.text;
    }
}

TEST_F(LoginItemTest, SpecialCharactersInThePathAreQuotedForTheExecKey)
{
    LoginItem item("id", "Name", "/a\"b$c`d\\e%f");
    auto text = item.entryText();
    EXPECT_NE(text.find("Exec=\"/a\\\\\"b\\\\$c\\\\`d\\\\\\\\e%%f\"\n"), std::string::npos) << text;
    EXPECT_FALSE(LoginItem("id", "Name", program("a\nHidden=true")).setEnabled(true)) << "a line break would add a key";
    EXPECT_FALSE(LoginItem("id", "Name", root / "missing").setEnabled(true)) << "no entry for a program that is not there";
    EXPECT_FALSE(fs::exists(root / "config/autostart/id.desktop"));
}

TEST_F(LoginItemTest, AnUnwritableAutostartFolderFailsAndChangesNothing)
{
    // A file where the folder should be cannot be written into, even by root.
    fs::create_directories(root / "config");
    std::ofstream(root / "config/autostart") << "in the way";
    LoginItem item("app.tavik.TavikLauncher", "Tavik Launcher", program("bin/tavik-launcher"));
    auto enabled = item.setEnabled(true);
    ASSERT_FALSE(enabled);
    EXPECT_TRUE(std::dynamic_pointer_cast<const FileError>(enabled.error())) << enabled.error()->description();
    EXPECT_FALSE(item.isEnabled());
    EXPECT_EQ(read(root / "config/autostart"), "in the way");

    // An entry that is a folder with content cannot be removed: disabling fails and leaves it.
    fs::remove(root / "config/autostart");
    fs::create_directories(item.entryPath() / "keep");
    EXPECT_FALSE(item.setEnabled(false));
    EXPECT_TRUE(fs::exists(item.entryPath() / "keep"));
}

TEST_F(LoginItemTest, ALinkedEntryIsReplacedOrRemovedButItsTargetIsLeftAlone)
{
    LoginItem item("app.tavik.TavikLauncher", "Tavik Launcher", program("bin/tavik-launcher"));
    fs::create_directories(item.entryPath().parent_path());
    std::ofstream(root / "elsewhere.desktop") << "[Desktop Entry]\nExec=mine\n";
    fs::create_symlink(root / "elsewhere.desktop", item.entryPath());
    EXPECT_TRUE(item.isEnabled());

    ASSERT_TRUE(item.setEnabled(false));
    EXPECT_FALSE(fs::exists(fs::symlink_status(item.entryPath())));
    EXPECT_EQ(read(root / "elsewhere.desktop"), "[Desktop Entry]\nExec=mine\n");

    fs::create_symlink(root / "elsewhere.desktop", item.entryPath());
    ASSERT_TRUE(item.setEnabled(true));
    EXPECT_FALSE(fs::is_symlink(item.entryPath()));
    EXPECT_EQ(read(root / "elsewhere.desktop"), "[Desktop Entry]\nExec=mine\n");
}

} // namespace
