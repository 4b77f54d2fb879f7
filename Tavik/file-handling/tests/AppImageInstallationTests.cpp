#include "Tavik/file-handling/AppImageInstallation.hpp"
#include "Tavik/file-handling/tests/SearchFixtures.hpp"
#include "appimage/AppImageFile.hpp"

#include <map>
#include <sstream>

using namespace tavik;
using namespace tavik::testing;

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
    EXPECT_EQ(std::ranges::count(file->topLevelNames().value(), "viewer.desktop"), 1);
    EXPECT_EQ(file->readFile("viewer.desktop", 1000).value(), "[Desktop Entry]\nName=Viewer\n");
    for (const char* path : {"absolute", "climbing", "loop", "missing"}) EXPECT_FALSE(file->readFile(path, 1000).ok()) << path;
    EXPECT_TRUE(appimage::AppImageError::is(file->readFile("big", 1000).error(), appimage::AppImageErrorCode::itemTooLarge));

    // Not an AppImage, and the magic without a file system behind it.
    writeFile(folder / "not-an-appimage", "#!/bin/sh\n");
    writeFile(folder / "Truncated.AppImage", readFile(folder / "Viewer.AppImage").substr(0, 64) + "hsqs");
    for (const char* name : {"not-an-appimage", "Truncated.AppImage"}) EXPECT_FALSE(appimage::AppImageFile::open(folder / name).ok()) << name;
}

TEST(AppImageInstallationTest, IntegrationWritesOneLauncherEntryAndIconRemovedWithTheAppImage)
{
    ScratchFolder folder;
    auto appImage = folder / "Apps/My Tool.AppImage";
    makeAppImage(appImage, "tool");
    fs::permissions(appImage, fs::perms(0666));
    ASSERT_TRUE(AppImageInstallation::makeExecutable(appImage).ok());
    EXPECT_EQ(fs::status(appImage).permissions() & fs::perms(0777), fs::perms(0744));

    AppImageInstallation installation(folder / "data");
    makeAppImage(folder / "Apps/Kept.AppImage", "kept");
    ASSERT_TRUE(installation.integrate(folder / "Apps/Kept.AppImage").ok());
    // Integrating twice replaces the entry rather than adding one.
    ASSERT_TRUE(installation.integrate(appImage).ok());
    ASSERT_TRUE(installation.integrate(appImage).ok());
    auto entryFile = installation.entryPath(appImage);
    EXPECT_EQ(entryFile.parent_path(), folder / "data/applications");
    EXPECT_EQ(namesIn(folder / "data/applications").size(), 2u);
    auto keys = keysOf(readFile(entryFile));
    EXPECT_EQ(keys["Exec"], "\"" + appImage.string() + "\" --start %U");
    EXPECT_EQ(keys["TryExec"], appImage.string());
    EXPECT_EQ(keys[std::string(AppImageInstallation::ownerKey)], appImage.string());
    EXPECT_EQ(keys["Name"], "tool");
    EXPECT_EQ(keys["Icon"], entryFile.stem().string());
    auto icon = folder / "data/icons/hicolor/32x32/apps" / (entryFile.stem().string() + ".png");
    EXPECT_EQ(readFile(icon), pngImage());

    // Someone else's entry, named like ours but without our key, stays.
    writeFile(folder / "data/applications/app.tavik.appimage.other.desktop", "[Desktop Entry]\nExec=/nowhere\n");
    EXPECT_EQ(installation.removeStaleEntries(), 0u);
    fs::remove(appImage);
    EXPECT_EQ(installation.removeStaleEntries(), 1u);
    EXPECT_FALSE(fs::exists(entryFile) || fs::exists(icon));
    EXPECT_TRUE(fs::exists(installation.entryPath(folder / "Apps/Kept.AppImage")));
    EXPECT_TRUE(fs::exists(folder / "data/applications/app.tavik.appimage.other.desktop"));
}

TEST(AppImageInstallationTest, LauncherEntriesRunTheCopyWhateverItsPath)
{
    const std::string original = "[Desktop Entry]\nName=X\nExec=\"usr/bin/x\" --flag %F\nTryExec=x\nDBusActivatable=true\nIcon=x\n"
                                 "X-Tavik-AppImage=/elsewhere\n\n[Desktop Action New]\nName=New\nExec=x --new\n";
    const std::pair<std::string, std::string> cases[] = {
        {"/apps/X.AppImage", R"("/apps/X.AppImage" --flag %F)"},
        {"/my apps/X 2.AppImage", R"("/my apps/X 2.AppImage" --flag %F)"},
        {"/apps/100%/X$\"`.AppImage", R"("/apps/100%%/X\\$\\"\\`.AppImage" --flag %F)"},
    };
    for (const auto& [path, exec] : cases) {
        SCOPED_TRACE(path);
        auto entry = AppImageInstallation::launcherEntry(original, path, "app.tavik.appimage.X");
        ASSERT_TRUE(entry.ok());
        auto keys = keysOf(*entry);
        EXPECT_EQ(keys["Exec"], exec);
        EXPECT_EQ(keys["Icon"], "app.tavik.appimage.X");
        EXPECT_EQ(keys.count("DBusActivatable"), 0u);
        EXPECT_EQ(keys["X-Tavik-AppImage"], path);
        EXPECT_EQ(entry->find("X-Tavik-AppImage=/elsewhere"), std::string::npos);
        auto action = keysOf(*entry, "[Desktop Action New]")["Exec"];
        EXPECT_TRUE(action.starts_with("\"/") && action.ends_with(" --new")) << action;
    }
    EXPECT_FALSE(AppImageInstallation::launcherEntry("Name=X\n", "/apps/X.AppImage", "").ok());
    EXPECT_FALSE(AppImageInstallation::launcherEntry(original, "/apps/new\nline", "").ok());
    EXPECT_FALSE(AppImageInstallation::launcherEntry(std::string("[Desktop Entry]\n\xff\xfe", 18), "/a", "").ok());
}

} // namespace
