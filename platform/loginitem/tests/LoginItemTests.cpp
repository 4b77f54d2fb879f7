// The login item against a real autostart folder in a private XDG_CONFIG_HOME.

#include "platform/foundation/FileError.hpp"
#include "platform/loginitem/LoginItem.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::testing;
namespace fs = std::filesystem;

namespace {

class LoginItemTest : public ::testing::Test {
protected:
    void SetUp() override { environment_.set("XDG_CONFIG_HOME", root / "config"); }
    // A program the entry can name: a script that does nothing.
    fs::path program(const std::string& relative) const
    {
        writeFile(root / relative, "#!/bin/sh\n");
        fs::permissions(root / relative, fs::perms::owner_all);
        return root / relative;
    }

    ScratchFolder root {"tavik-autostart"};
    ScopedEnvironment environment_;
    const LoginItem item {"app.tavik.TavikLauncher", "Tavik Launcher", program("bin/tavik-launcher"), root / "config/autostart"};
};

} // namespace

TEST_F(LoginItemTest, EnablingWritesTheEntryWithTheProgramQuotedAndDisablingRemovesIt)
{
    auto launcher = program("ta vik/libexec/tavik/tavik-launcher");
    LoginItem spaced("app.tavik.TavikLauncher", "Tavik Launcher", launcher);
    EXPECT_EQ(spaced.entryPath(), root / "config/autostart/app.tavik.TavikLauncher.desktop");
    EXPECT_FALSE(spaced.isEnabled()) << "no folder, no entry";

    ASSERT_TRUE(spaced.setEnabled(true));
    EXPECT_TRUE(spaced.isEnabled());
    auto text = readFile(spaced.entryPath());
    EXPECT_NE(text.find("Exec=\"" + launcher.string() + "\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Type=Application\n"), std::string::npos) << text;
    EXPECT_EQ(modeOf(spaced.entryPath()), 0644u);
    ASSERT_TRUE(spaced.setEnabled(true)) << "enabling twice is fine";
    EXPECT_EQ(namesIn(root / "config/autostart").size(), 1u) << "no temporary file is left behind";

    ASSERT_TRUE(spaced.setEnabled(false));
    EXPECT_FALSE(spaced.isEnabled());
    EXPECT_FALSE(fs::exists(spaced.entryPath()));
    EXPECT_TRUE(spaced.setEnabled(false)) << "disabling what is not there is fine";

    auto quoted = LoginItem("id", "Name", "/a\"b$c`d\\e%f").entryText();
    EXPECT_NE(quoted.find("Exec=\"/a\\\\\"b\\\\$c\\\\`d\\\\\\\\e%%f\"\n"), std::string::npos) << quoted;
}

TEST_F(LoginItemTest, AnEntryHiddenOrSwitchedOffElsewhereCountsAsDisabled)
{
    struct Case {
        const char* text;
        bool enabled;
    };
    const Case cases[] = {{"[Desktop Entry]\nType=Application\nExec=x\n", true}, {"[Desktop Entry]\nExec=x\nHidden=true\n", false},
        {"[Desktop Entry]\nExec=x\nHidden = true\n", false}, {"[Desktop Entry]\nExec=x\nHidden=false\n", true},
        {"[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled=false\n", false}, {"# a comment\n[Desktop Entry]\nExec=x\n[Desktop Action x]\nHidden=true\n", true},
        {"not a desktop entry", false}, {"", false}};
    for (const auto& c : cases) {
        writeFile(item.entryPath(), c.text);
        EXPECT_EQ(item.isEnabled(), c.enabled) << c.text;
    }
}

TEST_F(LoginItemTest, AnUnsafeOrMissingProgramOrWhatCannotBeWrittenOrRemovedFailsAndIsLeftAsItWas)
{
    EXPECT_FALSE(LoginItem("id", "Name", program("a\nHidden=true")).setEnabled(true)) << "a line break would add a key";
    EXPECT_FALSE(LoginItem("id", "Name", root / "missing").setEnabled(true));
    EXPECT_FALSE(fs::exists(root / "config/autostart/id.desktop"));

    // A file where the folder should be cannot be written into, even by root.
    writeFile(root / "config/autostart", "in the way");
    auto enabled = item.setEnabled(true);
    ASSERT_FALSE(enabled);
    EXPECT_TRUE(std::dynamic_pointer_cast<const FileError>(enabled.error())) << enabled.error()->description();
    EXPECT_FALSE(item.isEnabled());
    EXPECT_EQ(readFile(root / "config/autostart"), "in the way");

    // An entry that is a folder with content cannot be removed.
    fs::remove(root / "config/autostart");
    fs::create_directories(item.entryPath() / "keep");
    EXPECT_FALSE(item.setEnabled(false));
    EXPECT_TRUE(fs::exists(item.entryPath() / "keep"));
}

TEST_F(LoginItemTest, ALinkedEntryIsReplacedOrRemovedButItsTargetIsLeftAlone)
{
    const std::string theirs = "[Desktop Entry]\nExec=mine\n";
    writeFile(root / "elsewhere.desktop", theirs);
    fs::create_directories(item.entryPath().parent_path());
    for (bool enable : {false, true}) {
        fs::create_symlink(root / "elsewhere.desktop", item.entryPath());
        EXPECT_TRUE(item.isEnabled());
        ASSERT_TRUE(item.setEnabled(enable));
        EXPECT_FALSE(fs::is_symlink(item.entryPath()));
        EXPECT_EQ(fs::exists(item.entryPath()), enable);
        EXPECT_EQ(readFile(root / "elsewhere.desktop"), theirs);
    }
}
