#include "platform/filemanager/DirectoryEnumerator.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

using namespace tavik;
namespace fs = std::filesystem;

namespace {

class DirectoryEnumeratorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A volume as a disk image lays it out.
        for (const char* file : {"ReadMe.txt", ".DS_Store", ".hidden/Hidden.app/Contents/Info.plist", "Example.app/Contents/MacOS/Example",
                 "Example.app/Contents/Resources/Nested.app/Contents/Info.plist", "Folder/Deep/Tool.app/Contents/Info.plist",
                 "Folder/Install.pkg/Contents/Archive.pax", "Folder/Archive.zip", "Kit.framework/Versions/A/Kit"})
            tavik::testing::writeFile(root_ / file, file);
        fs::create_directory_symlink("/usr", root_ / "Applications");
        fs::create_directory_symlink(".", root_ / "Loop");
        fs::create_directory_symlink("Example.app", root_ / "Alias.app");
    }

    // Each item as "path@level" ("path/" for folders), going into no folder
    // for which `skip` says so.
    std::vector<std::string> walk(DirectoryEnumerator::Options options, const std::function<bool(const URL&)>& skip = {})
    {
        auto enumerator = DirectoryEnumerator::make(URL::fileURL(root_, true), options);
        EXPECT_TRUE(enumerator.ok());
        std::vector<std::string> items;
        while (auto url = (*enumerator)->nextObject()) {
            items.push_back(url->path().lexically_relative(root_).string() + (url->hasDirectoryPath() ? "/" : "") + "@"
                + std::to_string((*enumerator)->level()));
            if (skip && skip(*url))
                (*enumerator)->skipDescendants();
        }
        return items;
    }

    tavik::testing::ScratchFolder scratch_ {"tavik-enumerator"};
    const fs::path& root_ = scratch_.path();
};

} // namespace

TEST_F(DirectoryEnumeratorTest, SkipsHiddenItemsPackageInsidesAndSkippedFoldersAndNeverFollowsLinks)
{
    std::vector<std::string> expected = {"Alias.app@1", "Applications@1", "Example.app/@1", "Folder/@1", "Folder/Archive.zip@2",
        "Folder/Deep/@2", "Folder/Deep/Tool.app/@3", "Folder/Install.pkg/@2", "Kit.framework/@1", "Kit.framework/Versions/@2",
        "Kit.framework/Versions/A/@3", "Kit.framework/Versions/A/Kit@4", "Loop@1", "ReadMe.txt@1"};
    EXPECT_EQ(walk(DirectoryEnumerator::skipsHiddenFiles | DirectoryEnumerator::skipsPackageDescendants), expected);

    auto everything = walk(0);
    EXPECT_EQ(everything.size(), 30u);
    for (const char* item : {".DS_Store@1", ".hidden/Hidden.app/Contents/Info.plist@4", "Example.app/Contents/Resources/Nested.app/@4"})
        EXPECT_NE(std::find(everything.begin(), everything.end(), item), everything.end()) << item;

    // As a search for applications does: report the bundle, not its insides.
    auto skipped = walk(DirectoryEnumerator::skipsHiddenFiles,
        [](const URL& url) { return url.pathExtension() == "app" || url.lastPathComponent() == "Kit.framework"; });
    EXPECT_EQ(skipped, (std::vector<std::string> {"Alias.app@1", "Applications@1", "Example.app/@1", "Folder/@1", "Folder/Archive.zip@2", "Folder/Deep/@2", "Folder/Deep/Tool.app/@3", "Folder/Install.pkg/@2", "Folder/Install.pkg/Contents/@3", "Folder/Install.pkg/Contents/Archive.pax@4", "Kit.framework/@1", "Loop@1", "ReadMe.txt@1"}));
}

// A folder swapped for a link after it was listed must not be entered; the
// error handler decides whether the walk goes on.
TEST_F(DirectoryEnumeratorTest, UnreadableFolderGoesToTheErrorHandlerWhichDecides)
{
    auto swapFolderAndWalk = [&](bool goOn) {
        auto enumerator = DirectoryEnumerator::make(URL::fileURL(root_, true), DirectoryEnumerator::skipsHiddenFiles,
            [&](const URL& url, const ErrorPtr& error) {
                EXPECT_EQ(url.path(), root_ / "Folder");
                EXPECT_NE(dynamic_cast<const FileError*>(error.get()), nullptr);
                return goOn;
            });
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
    std::vector<std::string> goingOn = {"Alias.app", "Applications", "Example.app", "Contents", "MacOS", "Example", "Resources",
        "Nested.app", "Contents", "Info.plist", "Folder", "Kit.framework", "Versions", "A", "Kit", "Loop", "ReadMe.txt"};
    EXPECT_EQ(swapFolderAndWalk(true), goingOn);
    EXPECT_EQ(swapFolderAndWalk(false), std::vector<std::string>(goingOn.begin(), goingOn.begin() + 11));

    EXPECT_TRUE(isFileError(DirectoryEnumerator::make(URL::fileURL(root_ / "Missing", true), 0).error(),
        FileError::Code::fileReadNoSuchFile));
    EXPECT_FALSE(DirectoryEnumerator::make(URL::fileURL(root_ / "ReadMe.txt", false), 0).ok());
}
