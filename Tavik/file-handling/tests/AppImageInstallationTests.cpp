#include "Tavik/file-handling/AppImageInstallation.hpp"
#include "Tavik/file-handling/tests/SearchFixtures.hpp"
#include "appimage/AppImageFile.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace tavik;
using namespace tavik::testing;
namespace fs = std::filesystem;

namespace {

std::map<std::string, std::string> keysOf(const std::string& text, const std::string& group = "[Desktop Entry]")
{
    std::map<std::string, std::string> keys;
    std::istringstream lines(text);
    std::string line, current;
    while (std::getline(lines, line)) {
        if (line.starts_with("["))
            current = line;
        else if (current == group && line.find('=') != std::string::npos)
            keys[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    }
    return keys;
}

} // namespace

TEST(AppImageInstallationTest, ReadsTheEmbeddedFileSystemFollowingLinksInsideOnly)
{
    ScratchFolder folder;
    auto tree = folder / "tree";
    writeFile(tree / "usr/share/applications/viewer.desktop", "[Desktop Entry]\nName=Viewer\n");
    fs::create_symlink("usr/share/applications/viewer.desktop", tree / "viewer.desktop");
    writeFile(folder / "host-secret", "secret");
    fs::create_symlink((folder / "host-secret").string(), tree / "absolute");
    fs::create_symlink("../../host-secret", tree / "climbing");
    fs::create_symlink("loop", tree / "loop");
    writeFile(tree / "big", std::string(5000, 'x'));
    makeAppImage(folder / "Viewer.AppImage", "Viewer", tree);

    auto file = appimage::AppImageFile::open(folder / "Viewer.AppImage");
    ASSERT_TRUE(file.ok()) << file.error()->description();
    EXPECT_EQ(file->type(), 2);
    auto names = file->topLevelNames();
    ASSERT_TRUE(names.ok());
    EXPECT_NE(std::find(names->begin(), names->end(), "viewer.desktop"), names->end());

    auto entry = file->readFile("viewer.desktop", 1000);
    ASSERT_TRUE(entry.ok());
    EXPECT_EQ(*entry, "[Desktop Entry]\nName=Viewer\n");
    for (const char* path : {"absolute", "climbing", "loop", "missing"})
        EXPECT_FALSE(file->readFile(path, 1000).ok()) << path;
    auto big = file->readFile("big", 1000);
    ASSERT_FALSE(big.ok());
    EXPECT_TRUE(appimage::AppImageError::is(big.error(), appimage::AppImageErrorCode::itemTooLarge));

    writeFile(folder / "not-an-appimage", "#!/bin/sh\n");
    EXPECT_FALSE(appimage::AppImageFile::open(folder / "not-an-appimage").ok());
    // The magic without a file system behind it.
    auto header = readFile(folder / "Viewer.AppImage").substr(0, 64);
    writeFile(folder / "Truncated.AppImage", header + "hsqs");
    EXPECT_FALSE(appimage::AppImageFile::open(folder / "Truncated.AppImage").ok());
}

TEST(AppImageInstallationTest, IntegrationWritesTheLauncherEntryAndIcon)
{
    ScratchFolder folder;
    auto appImage = folder / "Apps/My Tool.AppImage";
    makeAppImage(appImage, "tool");
    fs::permissions(appImage, fs::perms(0666));
    ASSERT_TRUE(AppImageInstallation::makeExecutable(appImage).ok());
    EXPECT_EQ(fs::status(appImage).permissions() & fs::perms(0777), fs::perms(0744));

    AppImageInstallation installation(folder / "data");
    ASSERT_TRUE(installation.integrate(appImage).ok());
    auto entryFile = installation.entryPath(appImage);
    EXPECT_EQ(entryFile.parent_path(), folder / "data/applications");
    auto keys = keysOf(readFile(entryFile));
    EXPECT_EQ(keys["Exec"], "\"" + appImage.string() + "\" --start %U");
    EXPECT_EQ(keys["TryExec"], appImage.string());
    EXPECT_EQ(keys[std::string(AppImageInstallation::ownerKey)], appImage.string());
    EXPECT_EQ(keys["Name"], "tool");
    EXPECT_EQ(keys["Icon"], entryFile.stem().string());
    EXPECT_EQ(readFile(folder / "data/icons/hicolor/32x32/apps" / (entryFile.stem().string() + ".png")), pngImage());

    // Integrating again replaces the entry rather than adding one.
    ASSERT_TRUE(installation.integrate(appImage).ok());
    EXPECT_EQ(std::distance(fs::directory_iterator(folder / "data/applications"), fs::directory_iterator()), 1);
}

TEST(AppImageInstallationTest, LauncherEntriesRunTheCopyWhateverItsPath)
{
    const std::string original = "[Desktop Entry]\nName=X\nExec=\"usr/bin/x\" --flag %F\nTryExec=x\nDBusActivatable=true\nIcon=x\n"
                                 "X-Tavik-AppImage=/elsewhere\n\n[Desktop Action New]\nName=New\nExec=x --new\n";
    struct Case {
        std::string path;
        std::string exec;
    };
    const Case cases[] = {
        {"/apps/X.AppImage", R"("/apps/X.AppImage" --flag %F)"},
        {"/my apps/X 2.AppImage", R"("/my apps/X 2.AppImage" --flag %F)"},
        {"/apps/100%/X$\"`.AppImage", R"("/apps/100%%/X\\$\\"\\`.AppImage" --flag %F)"},
    };
    for (const auto& testCase : cases) {
        auto entry = AppImageInstallation::launcherEntry(original, testCase.path, "app.tavik.appimage.X");
        ASSERT_TRUE(entry.ok()) << testCase.path;
        auto keys = keysOf(*entry);
        EXPECT_EQ(keys["Exec"], testCase.exec);
        EXPECT_EQ(keys["Icon"], "app.tavik.appimage.X");
        EXPECT_EQ(keys.count("DBusActivatable"), 0u);
        EXPECT_EQ(keys["X-Tavik-AppImage"], testCase.path);
        auto action = keysOf(*entry, "[Desktop Action New]");
        EXPECT_TRUE(action["Exec"].ends_with(" --new")) << action["Exec"];
        EXPECT_TRUE(action["Exec"].starts_with("\"/")) << action["Exec"];
        // One Exec and one owner key in the main group.
        EXPECT_EQ(entry->find("X-Tavik-AppImage=/elsewhere"), std::string::npos);
    }
    EXPECT_FALSE(AppImageInstallation::launcherEntry("Name=X\n", "/apps/X.AppImage", "").ok());
    EXPECT_FALSE(AppImageInstallation::launcherEntry(original, "/apps/new\nline", "").ok());
    EXPECT_FALSE(AppImageInstallation::launcherEntry(std::string("[Desktop Entry]\n\xff\xfe", 18), "/a", "").ok());
}

TEST(AppImageInstallationTest, EntriesWhoseAppImageIsGoneAreRemoved)
{
    ScratchFolder folder;
    AppImageInstallation installation(folder / "data");
    makeAppImage(folder / "Apps/Kept.AppImage", "kept");
    makeAppImage(folder / "Apps/Gone.AppImage", "gone");
    ASSERT_TRUE(installation.integrate(folder / "Apps/Kept.AppImage").ok());
    ASSERT_TRUE(installation.integrate(folder / "Apps/Gone.AppImage").ok());
    // Someone else's entry, named like ours but without our key.
    writeFile(folder / "data/applications/app.tavik.appimage.other.desktop", "[Desktop Entry]\nExec=/nowhere\n");
    auto goneEntry = installation.entryPath(folder / "Apps/Gone.AppImage");
    auto goneIcon = folder / "data/icons/hicolor/32x32/apps" / (goneEntry.stem().string() + ".png");
    ASSERT_TRUE(fs::exists(goneIcon));

    EXPECT_EQ(installation.removeStaleEntries(), 0u);
    fs::remove(folder / "Apps/Gone.AppImage");
    EXPECT_EQ(installation.removeStaleEntries(), 1u);
    EXPECT_FALSE(fs::exists(goneEntry));
    EXPECT_FALSE(fs::exists(goneIcon));
    EXPECT_TRUE(fs::exists(installation.entryPath(folder / "Apps/Kept.AppImage")));
    EXPECT_TRUE(fs::exists(folder / "data/applications/app.tavik.appimage.other.desktop"));
}
