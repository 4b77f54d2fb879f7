#include "platform/foundation/URL.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using tavik::URL;
namespace fs = std::filesystem;

namespace {

fs::path makeTemporaryFolder()
{
    std::string pattern = (fs::temp_directory_path() / "tavik-url-XXXXXX").string();
    return fs::path(mkdtemp(pattern.data()));
}

} // namespace

TEST(URLTest, ComponentsAndAppending)
{
    auto downloads = URL::fileURL("/home/me/Downloads", true);
    auto image = downloads.appendingPathComponent("Example.dmg");
    EXPECT_EQ(image.path(), "/home/me/Downloads/Example.dmg");
    EXPECT_FALSE(image.hasDirectoryPath());
    EXPECT_EQ(image.lastPathComponent(), "Example.dmg");
    EXPECT_EQ(image.pathExtension(), "dmg");
    EXPECT_EQ(image.deletingLastPathComponent(), downloads);

    auto bundle = downloads.appendingPathComponent("Example.app", true);
    EXPECT_TRUE(bundle.hasDirectoryPath());
    EXPECT_EQ(bundle.description(), "file:///home/me/Downloads/Example.app/");
    EXPECT_EQ(URL::fileURL("/", true).lastPathComponent(), "/");
    EXPECT_EQ(URL::fileURL("/", true).deletingLastPathComponent().path(), "/");
}

TEST(URLTest, DescriptionEscapesWhatAURLCannotHoldAsIs)
{
    auto url = URL::fileURL("/tmp/My Apps/Grüße #1%.zip", false);
    EXPECT_EQ(url.description(), "file:///tmp/My%20Apps/Gr%C3%BC%C3%9Fe%20%231%25.zip");
    EXPECT_EQ(url.path(), "/tmp/My Apps/Grüße #1%.zip");
}

TEST(URLTest, EqualityCountsTheDirectoryFlagAndPathsAreNormalised)
{
    EXPECT_NE(URL::fileURL("/a/b", true), URL::fileURL("/a/b", false));
    EXPECT_EQ(URL::fileURL("/a/./c/../b/", true), URL::fileURL("/a/b", true));
    EXPECT_EQ(std::hash<URL>()(URL::fileURL("/a/b/", true)), std::hash<URL>()(URL::fileURL("/a/b", true)));
}

TEST(URLTest, FileURLAsksTheFileSystemAndResolvingFollowsLinks)
{
    auto root = makeTemporaryFolder();
    fs::create_directory(root / "real");
    std::ofstream(root / "real" / "file.txt") << "x";
    fs::create_directory_symlink(root / "real", root / "link");

    EXPECT_TRUE(URL::fileURL(root / "real").hasDirectoryPath());
    EXPECT_FALSE(URL::fileURL(root / "real" / "file.txt").hasDirectoryPath());

    auto throughLink = URL::fileURL(root / "link" / "file.txt");
    auto resolved = throughLink.resolvingSymlinksInPath();
    EXPECT_EQ(resolved.path(), fs::canonical(root) / "real" / "file.txt");
    EXPECT_TRUE(URL::fileURL(root / "link").resolvingSymlinksInPath().hasDirectoryPath());
    auto missing = URL::fileURL(root / "link" / "missing.txt", false).resolvingSymlinksInPath();
    EXPECT_EQ(missing.path(), fs::canonical(root) / "real" / "missing.txt");
    fs::remove_all(root);
}
