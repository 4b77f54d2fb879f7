#include "platform/foundation/URL.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

using tavik::URL;
namespace fs = std::filesystem;

TEST(URLTest, ComponentsAppendingEqualityAndTheEscapedDescription)
{
    auto downloads = URL::fileURL("/home/me/Downloads", true);
    auto image = downloads.appendingPathComponent("Example.dmg");
    EXPECT_EQ(image.path(), "/home/me/Downloads/Example.dmg");
    EXPECT_EQ(image.pathExtension(), "dmg");
    EXPECT_EQ(image.deletingLastPathComponent(), downloads);
    EXPECT_EQ(downloads.appendingPathComponent("Example.app", true).description(), "file:///home/me/Downloads/Example.app/");
    EXPECT_EQ(URL::fileURL("/", true).lastPathComponent(), "/");
    EXPECT_EQ(URL::fileURL("/", true).deletingLastPathComponent().path(), "/");

    auto escaped = URL::fileURL("/tmp/My Apps/Grüße #1%.zip", false);
    EXPECT_EQ(escaped.description(), "file:///tmp/My%20Apps/Gr%C3%BC%C3%9Fe%20%231%25.zip");
    EXPECT_EQ(escaped.path(), "/tmp/My Apps/Grüße #1%.zip");

    // Equality counts the directory flag; paths are normalised.
    EXPECT_NE(URL::fileURL("/a/b", true), URL::fileURL("/a/b", false));
    EXPECT_EQ(URL::fileURL("/a/./c/../b/", true), URL::fileURL("/a/b", true));
    EXPECT_EQ(std::hash<URL>()(URL::fileURL("/a/b/", true)), std::hash<URL>()(URL::fileURL("/a/b", true)));
}

TEST(URLTest, FileURLAsksTheFileSystemAndResolvingFollowsLinks)
{
    tavik::testing::ScratchFolder root("tavik-url");
    tavik::testing::writeFile(root / "real/file.txt", "x");
    fs::create_directory_symlink(root / "real", root / "link");

    EXPECT_TRUE(URL::fileURL(root / "real").hasDirectoryPath());
    EXPECT_FALSE(URL::fileURL(root / "real/file.txt").hasDirectoryPath());
    EXPECT_EQ(URL::fileURL(root / "link/file.txt").resolvingSymlinksInPath().path(), root / "real/file.txt");
    EXPECT_TRUE(URL::fileURL(root / "link").resolvingSymlinksInPath().hasDirectoryPath());
    EXPECT_EQ(URL::fileURL(root / "link/missing.txt", false).resolvingSymlinksInPath().path(), root / "real/missing.txt");
}
