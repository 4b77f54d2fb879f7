#include "hdiutil/VolumeLayout.hpp"
#include "hdiutil/VolumeSize.hpp"

#include "platform/testing/Files.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace tavik::hdiutil;

using tavik::testing::modeOf;
using tavik::testing::readFile;
using tavik::testing::writeFile;

namespace {

class VolumeLayoutTest : public ::testing::Test {
protected:
    tavik::testing::ScratchFolder scratch {"volume-layout"};
    const fs::path& folder = scratch.path();
};

} // namespace

TEST_F(VolumeLayoutTest, RestoresOnlyLinksThatPointIntoTheExtractionFolder)
{
    auto work = folder / "work";
    auto tree = work / "Volume";
    fs::create_directories(tree / "inner");
    fs::create_symlink(work / "Applications", tree / "Applications");
    fs::create_symlink(work, tree / "inner/root");
    fs::create_symlink(folder / "workshop/x", tree / "lookalike");
    fs::create_symlink("../Applications", tree / "inner/relative");

    restoreAbsoluteLinks(tree, work);
    EXPECT_EQ(fs::read_symlink(tree / "Applications"), "/Applications");
    EXPECT_EQ(fs::read_symlink(tree / "inner/root"), "/");
    EXPECT_EQ(fs::read_symlink(tree / "lookalike"), folder / "workshop/x");
    EXPECT_EQ(fs::read_symlink(tree / "inner/relative"), "../Applications");
}

// Names that are valid UTF-8 are composed, others kept as they are.
TEST_F(VolumeLayoutTest, PrecomposesNamesInsideReadOnlyFoldersButNeverOverwrites)
{
    EXPECT_EQ(precomposed("cafe\u0301.app"), "caf\u00e9.app");
    EXPECT_EQ(precomposed("plain"), "plain");
    EXPECT_EQ(precomposed("bad\xff"), "bad\xff");
    writeFile(folder / "tree/Locke\u0301d/re\u0301sume\u0301.txt", "decomposed");
    writeFile(folder / "tree/twin/cafe\u0301", "decomposed");
    writeFile(folder / "tree/twin/caf\u00e9", "precomposed");
    fs::permissions(folder / "tree/Locke\u0301d", fs::perms::owner_read | fs::perms::owner_exec);

    precomposeNames(folder / "tree");
    EXPECT_TRUE(fs::exists(folder / "tree/Lock\u00e9d/r\u00e9sum\u00e9.txt"));
    EXPECT_EQ(modeOf(folder / "tree/Lock\u00e9d"), 0500u);
    EXPECT_TRUE(fs::exists(folder / "tree/twin/cafe\u0301"));
    EXPECT_EQ(readFile(folder / "tree/twin/caf\u00e9"), "precomposed");
}

TEST_F(VolumeLayoutTest, MoveNeverReplacesAndReportsWhatMoved)
{
    writeFile(folder / "from/a", "a");
    writeFile(folder / "from/b", "new b");
    writeFile(folder / "to/b", "old b");
    std::vector<std::string> moved;
    EXPECT_THROW(moveEntries(folder / "from", folder / "to", moved), std::runtime_error);
    EXPECT_EQ(readFile(folder / "to/b"), "old b");
    for (const auto& name : moved) EXPECT_TRUE(fs::exists(folder / "to" / name));
    EXPECT_LE(moved.size(), 1u);
}

TEST_F(VolumeLayoutTest, RemoveTreeDoesNotFollowLinksAndHandlesReadOnlyFolders)
{
    writeFile(folder / "outside/keep.txt", "keep");
    writeFile(folder / "tree/locked/file", "x");
    fs::create_symlink(folder / "outside", folder / "tree/locked/link");
    fs::permissions(folder / "tree/locked", fs::perms::owner_read | fs::perms::owner_exec);

    removeTree(folder / "tree");
    EXPECT_FALSE(fs::exists(folder / "tree"));
    EXPECT_TRUE(fs::exists(folder / "outside/keep.txt"));
    EXPECT_NO_THROW(removeTree(folder / "tree"));
}

TEST(StoredModes, ReadsTheVolumeEntriesOnly)
{
    constexpr const char* listing = "Path = 0.hfs\nMode = -rw-rw-rw-\n"
                                    "\n----------\n"
                                    "Path = Volume\nFolder = +\nMode = dr-xr-x---\n\n"
                                    "Path = Volume/tool\nMode = -rwsr-xr-t\n\n"
                                    "Path = Volume/odd\nMode = short\n\n"
                                    "Path = Volume/shared\nMode = -rwxrwxrwx\n\n"
                                    "Path = Volume/link\nMode = lrwxrwxrwx\n";
    EXPECT_EQ(storedModes(listing), (std::vector<std::pair<std::string, mode_t>> {{"Volume", 0550}, {"Volume/tool", 01755}, {"Volume/shared", 0755}, {"Volume/link", 0755}}));
    EXPECT_TRUE(storedModes("Path = x\nMode = drwxr-xr-x\n").empty());
}

TEST_F(VolumeLayoutTest, AppliesStoredModesDeepestFirstAndSkipsEscapingPaths)
{
    writeFile(folder / "work/Volume/closed/file", "x");
    writeFile(folder / "outside", "keep");
    fs::permissions(folder / "outside", fs::perms(0600));
    applyStoredModes(folder / "work", {{"Volume/closed", 0500}, {"Volume/closed/file", 0400}, {"../outside", 0777}});
    EXPECT_EQ(modeOf(folder / "work/Volume/closed"), 0500u);
    EXPECT_EQ(modeOf(folder / "work/Volume/closed/file"), 0400u);
    EXPECT_EQ(modeOf(folder / "outside"), 0600u);
}

TEST(VolumeSize, AddsUpTheEntriesAndTakesTheSmallerPartitionSize)
{
    constexpr const char* listing = "Listing archive: shared.dmg\n\n--\nPath = shared.dmg\nType = Dmg\nPhysical Size = 16681\n"
                                    "Comment = \n{\nunpack-size: 268500992\n}\n----\n"
                                    "Path = 0.hfs\nSize = 268500992\nPacked Size = 584\n--\n"
                                    "Path = 0.hfs\nType = HFS\nPhysical Size = 409600000000\nCluster Size = 4096\n"
                                    "\n----------\n"
                                    "Path = Volume\nFolder = +\nSize = \n\n"
                                    "Path = Volume/one\nFolder = -\nSize = 268435456\n\n"
                                    "Path = Volume/two\nFolder = -\nSize = 268435456\n\n"
                                    "Path = Volume/small\nFolder = -\nSize = 5\n";
    auto size = VolumeSize::of(listing);
    EXPECT_EQ(size.listedBytes, 2u * 268435456u + 5u);
    EXPECT_EQ(size.diskBytes, 2u * 268435456u + 2u * 4096u);
    EXPECT_EQ(size.partitionBytes, std::optional<std::uint64_t>(268500992u));

    // Sizes beyond 64 bits saturate instead of wrapping to a small total.
    auto huge = VolumeSize::of("\n----------\nPath = a\nSize = 18446744073709551615\n\n"
                               "Path = b\nSize = 18446744073709551615\n");
    EXPECT_EQ(huge.listedBytes, UINT64_MAX);
    EXPECT_FALSE(huge.partitionBytes);
}
