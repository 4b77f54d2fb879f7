#include "platform/foundation/Bookmark.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/FileIdentity.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sys/stat.h>

using namespace tavik;
namespace fs = std::filesystem;

namespace {

class BookmarkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tavik-bookmark-XXXXXX").string();
        root = fs::path(mkdtemp(pattern.data()));
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path makeFolder(const fs::path& path)
    {
        fs::create_directories(path);
        return path;
    }
    fs::path makeFile(const fs::path& path, const std::string& contents = "data")
    {
        std::ofstream(path) << contents;
        return path;
    }
    std::vector<uint8_t> bookmark(const fs::path& path, BookmarkCreationOptions options = BookmarkCreationOptions::withSecurityScope)
    {
        auto data = bookmarkData(URL::fileURL(path), options);
        EXPECT_TRUE(data.ok()) << (data.ok() ? "" : data.error()->description());
        return data.ok() ? *data : std::vector<uint8_t> {};
    }

    fs::path root;
};

// Whether this process may open files by handle (CAP_DAC_READ_SEARCH).
bool canOpenByHandle()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0)
            return (std::stoull(line.substr(7), nullptr, 16) & (1ULL << 2)) != 0;
    }
    return false;
}

} // namespace

// What a bookmark of a folder resolves to after the folder was left alone,
// made anew, or renamed (with something new under the old name).
TEST_F(BookmarkTest, FolderResolvesWhereItIsAndSaysWhetherItMoved)
{
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> change;
        const char* expected;
        bool stale;
    };
    const Case cases[] = {
        {"unchanged", [](const fs::path&) {}, "Downloads", false},
        {"made anew", [&](const fs::path& folder) {
             fs::remove(folder);
             makeFolder(folder);
         },
            "Downloads", true},
        {"renamed", [&](const fs::path& folder) {
             fs::rename(folder, root / "Downloads 2");
             makeFolder(folder);
         },
            "Downloads 2", true},
    };
    for (const auto& [what, change, expected, stale] : cases) {
        SCOPED_TRACE(what);
        fs::remove_all(root / "Downloads 2");
        auto folder = makeFolder(root / "Downloads");
        auto data = bookmark(folder);
        ASSERT_GE(data.size(), 8u);
        EXPECT_EQ(0, std::memcmp(data.data(), "bplist00", 8));
        // The URL's spelling does not change the bookmark.
        EXPECT_EQ(data, bookmark(fs::path(folder.string() + "/./")));
        change(folder);

        auto resolved = resolveBookmarkData(data, BookmarkResolutionOptions::withSecurityScope);
        ASSERT_TRUE(resolved.ok());
        EXPECT_EQ(resolved->url, URL::fileURL(root / expected, true));
        EXPECT_TRUE(resolved->url.hasDirectoryPath());
        EXPECT_EQ(resolved->isStale, stale);
    }

    // Without the file-handle step, the search of the old parent finds a renamed folder too.
    auto remembered = bookmark_detail::identityOfPath(root / "Downloads 2");
    ASSERT_TRUE(remembered);
    EXPECT_EQ(bookmark_detail::findInParentFolder(root / "Downloads", *remembered), root / "Downloads 2");
}

TEST_F(BookmarkTest, FolderMovedElsewhereIsFoundThroughItsFileHandle)
{
    if (!canOpenByHandle())
        GTEST_SKIP() << "opening by file handle needs CAP_DAC_READ_SEARCH";
    auto folder = makeFolder(root / "a" / "Applications");
    makeFolder(root / "b");
    auto data = bookmark(folder);
    fs::rename(folder, root / "b" / "Apps");

    auto resolved = resolveBookmarkData(data);
    ASSERT_TRUE(resolved.ok());
    EXPECT_EQ(resolved->url.path(), root / "b" / "Apps");
    EXPECT_TRUE(resolved->isStale);
}

TEST_F(BookmarkTest, MissingFolderFailsNamingItsPath)
{
    auto folder = makeFolder(root / "Gone");
    auto data = bookmark(folder);
    fs::remove(folder);

    auto resolved = resolveBookmarkData(data);
    ASSERT_FALSE(resolved.ok());
    EXPECT_TRUE(isFileError(resolved.error(), FileError::Code::fileNoSuchFile));
    EXPECT_NE(resolved.error()->description().find("Gone"), std::string::npos);
    ASSERT_TRUE(resolved.error()->failureReason());
    EXPECT_NE(resolved.error()->failureReason()->find((root / "Gone").string()), std::string::npos);

    // A file where the folder was is not taken for it.
    makeFile(root / "Gone");
    EXPECT_FALSE(resolveBookmarkData(data).ok());
}

TEST_F(BookmarkTest, CreatingFailsForAMissingPathAndResolvingFailsForOtherBytes)
{
    auto created = bookmarkData(URL::fileURL(root / "nothing"));
    ASSERT_FALSE(created.ok());
    EXPECT_TRUE(isFileError(created.error(), FileError::Code::fileReadNoSuchFile));

    std::vector<uint8_t> garbage {'b', 'p', 'l', 'i', 's', 't', '0', '0', 1, 2, 3};
    EXPECT_FALSE(resolveBookmarkData(garbage).ok());
    EXPECT_FALSE(resolveBookmarkData(std::vector<uint8_t> {}).ok());
    auto valid = bookmark(makeFolder(root / "x"));
    valid.resize(valid.size() / 2);
    EXPECT_FALSE(resolveBookmarkData(valid).ok());
}

TEST_F(BookmarkTest, IdentityBytesAreEqualForTheSameFileAndDifferForAnotherPathOrAReusedInode)
{
    auto path = makeFile(root / "Example.dmg");
    auto first = fileIdentityBytes(URL::fileURL(path));
    auto second = fileIdentityBytes(URL::fileURL(path));
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_EQ(*first, *second);
    // Another path is another identity, even for the same file.
    fs::create_hard_link(path, root / "Renamed.dmg");
    auto elsewhere = fileIdentityBytes(URL::fileURL(root / "Renamed.dmg"));
    ASSERT_TRUE(elsewhere.ok());
    EXPECT_NE(*first, *elsewhere);
    fs::remove(root / "Renamed.dmg"); // so that the inode can be handed out again
    // The security-scoped form is another bookmark of the same file.
    EXPECT_NE(*first, bookmark(path, BookmarkCreationOptions::withSecurityScope));

    struct stat before {};
    ASSERT_EQ(0, ::stat(path.c_str(), &before));
    // Delete and recreate until the file system hands out the same inode again.
    bool reused = false;
    for (int attempt = 0; attempt < 50 && !reused; ++attempt) {
        fs::remove(path);
        makeFile(path);
        struct stat after {};
        ASSERT_EQ(0, ::stat(path.c_str(), &after));
        reused = after.st_ino == before.st_ino;
    }
    if (!reused)
        GTEST_SKIP() << "the file system did not reuse the inode";
    auto third = fileIdentityBytes(URL::fileURL(path));
    ASSERT_TRUE(third.ok());
    EXPECT_NE(*first, *third);
}
