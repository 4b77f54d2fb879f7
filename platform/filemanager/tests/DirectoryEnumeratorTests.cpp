#include "platform/filemanager/DirectoryEnumerator.hpp"
#include "platform/foundation/FileError.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using namespace tavik;
namespace fs = std::filesystem;

namespace {

class DirectoryEnumeratorTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tavik-enumerator-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        // A volume as a disk image lays it out.
        makeFile("ReadMe.txt");
        makeFile(".DS_Store");
        makeFile(".hidden/Hidden.app/Contents/Info.plist");
        makeFile("Example.app/Contents/MacOS/Example");
        makeFile("Example.app/Contents/Resources/Nested.app/Contents/Info.plist");
        makeFile("Folder/Deep/Tool.app/Contents/Info.plist");
        makeFile("Folder/Install.pkg/Contents/Archive.pax");
        makeFile("Folder/Archive.zip");
        makeFile("Kit.framework/Versions/A/Kit");
        fs::create_directory_symlink("/usr", root_ / "Applications");
        fs::create_directory_symlink(".", root_ / "Loop");
        fs::create_directory_symlink("Example.app", root_ / "Alias.app");
    }
    void TearDown() override { fs::remove_all(root_); }

    void makeFile(const fs::path& relative)
    {
        fs::create_directories((root_ / relative).parent_path());
        std::ofstream(root_ / relative) << relative.string();
    }

    std::vector<std::string> walk(DirectoryEnumerator::Options options)
    {
        auto enumerator = DirectoryEnumerator::make(URL::fileURL(root_, true), options);
        EXPECT_TRUE(enumerator.ok());
        std::vector<std::string> items;
        while (auto url = (*enumerator)->nextObject())
            items.push_back(url->path().lexically_relative(root_).string() + (url->hasDirectoryPath() ? "/" : ""));
        return items;
    }

    fs::path root_;
};

} // namespace

TEST_F(DirectoryEnumeratorTest, SkipsHiddenItemsAndPackageInsidesAndNeverFollowsLinks)
{
    std::vector<std::string> expected = {
        "Alias.app",
        "Applications",
        "Example.app/",
        "Folder/",
        "Folder/Archive.zip",
        "Folder/Deep/",
        "Folder/Deep/Tool.app/",
        "Folder/Install.pkg/",
        "Kit.framework/",
        "Kit.framework/Versions/",
        "Kit.framework/Versions/A/",
        "Kit.framework/Versions/A/Kit",
        "Loop",
        "ReadMe.txt",
    };
    EXPECT_EQ(walk(DirectoryEnumerator::skipsHiddenFiles | DirectoryEnumerator::skipsPackageDescendants), expected);
}

TEST_F(DirectoryEnumeratorTest, WithoutOptionsEverythingIsVisitedButLinksStayUnfollowed)
{
    auto items = walk(0);
    auto has = [&](const std::string& item) { return std::find(items.begin(), items.end(), item) != items.end(); };
    EXPECT_TRUE(has(".DS_Store"));
    EXPECT_TRUE(has(".hidden/Hidden.app/Contents/Info.plist"));
    EXPECT_TRUE(has("Example.app/Contents/Resources/Nested.app/"));
    EXPECT_TRUE(has("Loop"));
    EXPECT_FALSE(has("Loop/ReadMe.txt"));
    EXPECT_FALSE(has("Applications/bin/"));
    EXPECT_EQ(items.size(), 30u);
}

TEST_F(DirectoryEnumeratorTest, SkipDescendantsAndLevels)
{
    auto enumerator = DirectoryEnumerator::make(URL::fileURL(root_, true), DirectoryEnumerator::skipsHiddenFiles);
    ASSERT_TRUE(enumerator.ok());
    std::vector<std::string> items;
    while (auto url = (*enumerator)->nextObject()) {
        auto name = url->path().lexically_relative(root_).string();
        items.push_back(name + "@" + std::to_string((*enumerator)->level()));
        // As a search for applications does: report the bundle, not its insides.
        if (url->pathExtension() == "app" || name == "Kit.framework")
            (*enumerator)->skipDescendants();
    }
    std::vector<std::string> expected = {
        "Alias.app@1",
        "Applications@1",
        "Example.app@1",
        "Folder@1",
        "Folder/Archive.zip@2",
        "Folder/Deep@2",
        "Folder/Deep/Tool.app@3",
        "Folder/Install.pkg@2",
        "Folder/Install.pkg/Contents@3",
        "Folder/Install.pkg/Contents/Archive.pax@4",
        "Kit.framework@1",
        "Loop@1",
        "ReadMe.txt@1",
    };
    EXPECT_EQ(items, expected);
}

TEST_F(DirectoryEnumeratorTest, UnreadableFolderGoesToTheErrorHandlerWhichDecides)
{
    // A folder swapped for a link after it was listed must not be entered.
    auto swapFolderAndWalk = [&](bool goOn) {
        auto enumerator = DirectoryEnumerator::make(URL::fileURL(root_, true), DirectoryEnumerator::skipsHiddenFiles,
            [&](const URL& url, const ErrorPtr& error) {
                EXPECT_EQ(url.path(), root_ / "Folder");
                EXPECT_NE(dynamic_cast<const FileError*>(error.get()), nullptr);
                return goOn;
            });
        EXPECT_TRUE(enumerator.ok());
        std::vector<std::string> items;
        while (auto url = (*enumerator)->nextObject()) {
            items.push_back(url->lastPathComponent());
            if (url->lastPathComponent() == "Folder") {
                fs::rename(root_ / "Folder", root_ / ".moved");
                fs::create_directory_symlink(root_ / ".moved", root_ / "Folder");
            }
        }
        fs::remove(root_ / "Folder");
        fs::rename(root_ / ".moved", root_ / "Folder");
        return items;
    };

    std::vector<std::string> goingOn = {"Alias.app", "Applications", "Example.app", "Contents", "MacOS", "Example",
        "Resources", "Nested.app", "Contents", "Info.plist", "Folder", "Kit.framework", "Versions", "A", "Kit", "Loop", "ReadMe.txt"};
    EXPECT_EQ(swapFolderAndWalk(true), goingOn);
    std::vector<std::string> stopped(goingOn.begin(), goingOn.begin() + 11);
    EXPECT_EQ(swapFolderAndWalk(false), stopped);
}

TEST_F(DirectoryEnumeratorTest, NoEnumeratorForAMissingFolder)
{
    auto enumerator = DirectoryEnumerator::make(URL::fileURL(root_ / "Missing", true), 0);
    ASSERT_FALSE(enumerator.ok());
    EXPECT_TRUE(isFileError(enumerator.error(), FileError::Code::fileReadNoSuchFile));
    auto file = DirectoryEnumerator::make(URL::fileURL(root_ / "ReadMe.txt", false), 0);
    EXPECT_FALSE(file.ok());
}
