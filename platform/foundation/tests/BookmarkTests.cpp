#include "platform/foundation/Bookmark.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/FileIdentity.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
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

TEST_F(BookmarkTest, UnchangedFolderResolvesToItselfAndIsNotStale)
{
    auto folder = makeFolder(root / "Downloads");
    auto data = bookmark(folder);
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(0, std::memcmp(data.data(), "bplist00", 8));

    auto resolved = resolveBookmarkData(data, BookmarkResolutionOptions::withSecurityScope);
    ASSERT_TRUE(resolved.ok());
    EXPECT_EQ(resolved->url, URL::fileURL(folder, true));
    EXPECT_TRUE(resolved->url.hasDirectoryPath());
    EXPECT_FALSE(resolved->isStale);

    // The URL's spelling does not change the bookmark.
    EXPECT_EQ(data, bookmark(fs::path(folder.string() + "/./")));
}

TEST_F(BookmarkTest, RenamedFolderResolvesToItsNewNameAndIsStale)
{
    auto folder = makeFolder(root / "Downloads");
    auto data = bookmark(folder);
    fs::rename(folder, root / "Downloads 2");
    // Something else now has the old name; the bookmark still follows the folder.
    makeFolder(root / "Downloads");

    auto resolved = resolveBookmarkData(data);
    ASSERT_TRUE(resolved.ok());
    EXPECT_EQ(resolved->url.path(), root / "Downloads 2");
    EXPECT_TRUE(resolved->isStale);

    // Without the file-handle step, the search of the old parent finds it too.
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

TEST_F(BookmarkTest, FolderMadeAnewAtTheSamePathResolvesThereAsStale)
{
    auto folder = makeFolder(root / "Applications");
    auto data = bookmark(folder);
    fs::remove(folder);
    makeFolder(folder);

    auto resolved = resolveBookmarkData(data);
    ASSERT_TRUE(resolved.ok());
    EXPECT_EQ(resolved->url.path(), folder);
    EXPECT_TRUE(resolved->isStale);
}

TEST_F(BookmarkTest, CreatingFailsForAMissingPathAndResolvingFailsForOtherBytes)
{
    auto created = bookmarkData(URL::fileURL(root / "nothing"));
    ASSERT_FALSE(created.ok());
    EXPECT_TRUE(isFileError(created.error(), FileError::Code::fileReadNoSuchFile));

    std::vector<uint8_t> garbage { 'b', 'p', 'l', 'i', 's', 't', '0', '0', 1, 2, 3 };
    EXPECT_FALSE(resolveBookmarkData(garbage).ok());
    EXPECT_FALSE(resolveBookmarkData(std::vector<uint8_t> {}).ok());
    auto valid = bookmark(makeFolder(root / "x"));
    valid.resize(valid.size() / 2);
    EXPECT_FALSE(resolveBookmarkData(valid).ok());
}

TEST_F(BookmarkTest, IdentityBytesAreEqualForTheSameFileAndDifferForAReusedInode)
{
    auto path = makeFile(root / "Example.dmg");
    auto first = fileIdentityBytes(URL::fileURL(path));
    auto second = fileIdentityBytes(URL::fileURL(path));
    ASSERT_TRUE(first.ok() && second.ok());
    EXPECT_EQ(*first, *second);
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

TEST_F(BookmarkTest, IdentityBytesDifferForAnotherPath)
{
    auto path = makeFile(root / "Example.zip");
    auto before = fileIdentityBytes(URL::fileURL(path));
    fs::rename(path, root / "Renamed.zip");
    auto after = fileIdentityBytes(URL::fileURL(root / "Renamed.zip"));
    ASSERT_TRUE(before.ok() && after.ok());
    EXPECT_NE(*before, *after);
}

TEST_F(BookmarkTest, SecurityScopedAccessIsAlwaysGranted)
{
    auto url = URL::fileURL(makeFolder(root / "Apps"));
    EXPECT_TRUE(startAccessingSecurityScopedResource(url));
    stopAccessingSecurityScopedResource(url);
}
