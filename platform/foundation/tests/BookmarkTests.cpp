#include "platform/foundation/Bookmark.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/FileIdentity.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sys/stat.h>

using namespace tavik;
using tavik::testing::writeFile;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> bookmark(const fs::path& path)
{
    auto data = bookmarkData(URL::fileURL(path), BookmarkCreationOptions::withSecurityScope);
    EXPECT_TRUE(data.ok()) << (data.ok() ? "" : data.error()->description());
    return data.ok() ? *data : std::vector<uint8_t> {};
}

// Whether this process may open files by handle (CAP_DAC_READ_SEARCH).
bool canOpenByHandle()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("CapEff:"))
            return (std::stoull(line.substr(7), nullptr, 16) & (1ULL << 2)) != 0;
    return false;
}

class BookmarkTest : public ::testing::Test {
protected:
    tavik::testing::ScratchFolder root {"tavik-bookmark"};
};

} // namespace

// What a bookmark of a folder resolves to after the folder was left alone,
// made anew, renamed (with something new under the old name; without a file
// handle the old parent folder is searched) or moved elsewhere (found
// through its file handle, where the process may use one).
TEST_F(BookmarkTest, FolderResolvesWhereItIsAndSaysWhetherItMoved)
{
    fs::create_directory(root / "Renamed");
    auto renamed = bookmark_detail::identityOfPath(root / "Renamed");
    fs::rename(root / "Renamed", root / "Renamed 2");
    ASSERT_TRUE(renamed);
    EXPECT_EQ(bookmark_detail::findInParentFolder(root / "Renamed", *renamed), root / "Renamed 2");

    struct Case {
        const char* what;
        std::function<void(const fs::path&)> change;
        const char* expected;
        bool stale;
    };
    const Case cases[] = {
        {"unchanged", [](const fs::path&) {}, "Downloads", false},
        {"made anew", [](const fs::path& folder) { fs::remove(folder), fs::create_directory(folder); }, "Downloads", true},
        {"renamed", [&](const fs::path& folder) { fs::rename(folder, root / "Downloads 2"), fs::create_directory(folder); },
            "Downloads 2", true},
        {"moved elsewhere", [&](const fs::path& folder) { fs::rename(folder, root / "b/Apps"); }, "b/Apps", true},
    };
    fs::create_directory(root / "b");
    for (const auto& [what, change, expected, stale] : cases) {
        SCOPED_TRACE(what);
        if (std::string(what) == "moved elsewhere" && !canOpenByHandle())
            GTEST_SKIP() << "opening by file handle needs CAP_DAC_READ_SEARCH";
        for (auto name : {"Downloads", "Downloads 2"}) fs::remove_all(root / name);
        auto folder = root / "Downloads";
        fs::create_directory(folder);
        auto data = bookmark(folder);
        ASSERT_GE(data.size(), 8u);
        EXPECT_EQ(std::string(data.begin(), data.begin() + 8), "bplist00");
        EXPECT_EQ(data, bookmark(fs::path(folder.string() + "/./"))) << "the URL's spelling does not matter";
        change(folder);

        auto resolved = resolveBookmarkData(data, BookmarkResolutionOptions::withSecurityScope);
        ASSERT_TRUE(resolved.ok());
        EXPECT_EQ(resolved->url, URL::fileURL(root / expected, true));
        EXPECT_EQ(resolved->isStale, stale);
    }
}

TEST_F(BookmarkTest, MissingFolderOrOtherBytesFailAndNameWhatIsMissing)
{
    fs::create_directory(root / "Gone");
    auto data = bookmark(root / "Gone");
    fs::remove(root / "Gone");
    auto resolved = resolveBookmarkData(data);
    EXPECT_TRUE(isFileError(resolved.error(), FileError::Code::fileNoSuchFile));
    EXPECT_NE(resolved.error()->description().find("Gone"), std::string::npos);
    ASSERT_TRUE(resolved.error()->failureReason());
    EXPECT_NE(resolved.error()->failureReason()->find((root / "Gone").string()), std::string::npos);
    writeFile(root / "Gone", "data");
    EXPECT_FALSE(resolveBookmarkData(data).ok()) << "a file where the folder was is not taken for it";

    EXPECT_TRUE(isFileError(bookmarkData(URL::fileURL(root / "nothing")).error(), FileError::Code::fileReadNoSuchFile));
    auto cut = data;
    cut.resize(cut.size() / 2);
    for (const auto& bytes : {std::vector<uint8_t> {'b', 'p', 'l', 'i', 's', 't', '0', '0', 1, 2, 3}, std::vector<uint8_t> {}, cut})
        EXPECT_FALSE(resolveBookmarkData(bytes).ok());
}

TEST_F(BookmarkTest, IdentityBytesAreEqualForTheSameFileAndDifferForAnotherPathOrAReusedInode)
{
    auto path = root / "Example.dmg";
    writeFile(path, "data");
    auto first = fileIdentityBytes(URL::fileURL(path));
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(*first, *fileIdentityBytes(URL::fileURL(path)));
    // Another path is another identity, even for the same file.
    fs::create_hard_link(path, root / "Renamed.dmg");
    EXPECT_NE(*first, *fileIdentityBytes(URL::fileURL(root / "Renamed.dmg")));
    fs::remove(root / "Renamed.dmg"); // so that the inode can be handed out again
    EXPECT_NE(*first, bookmark(path)) << "the security-scoped form is another bookmark";

    struct stat before {
    }, after {};
    ASSERT_EQ(0, ::stat(path.c_str(), &before));
    // Delete and recreate until the file system hands out the same inode again.
    for (int attempt = 0; attempt < 50 && after.st_ino != before.st_ino; ++attempt) {
        fs::remove(path);
        writeFile(path, "data");
        ASSERT_EQ(0, ::stat(path.c_str(), &after));
    }
    if (after.st_ino != before.st_ino)
        GTEST_SKIP() << "the file system did not reuse the inode";
    EXPECT_NE(*first, *fileIdentityBytes(URL::fileURL(path)));
}
