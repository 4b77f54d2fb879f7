#include "Tavik/file-handling/AppImageInstallation.hpp"
#include "Tavik/file-handling/TarActions.hpp"
#include "Tavik/file-handling/tests/SearchFixtures.hpp"
#include "platform/foundation/TypeIdentifier.hpp"

using namespace tavik;
using namespace tavik::testing;

namespace {

auto extract(const fs::path& archive, const fs::path& working)
{
    return performed(ExtractApplicationsInTarAction(URL::fileURL(working, true), nullptr, downloadsSource), URL::fileURL(archive, false));
}

std::vector<std::string> extracted(const fs::path& archive, const fs::path& working)
{
    auto result = extract(archive, working);
    EXPECT_TRUE(result && result->isMapped());
    return result && result->output() ? describeItems(*result->output()) : std::vector<std::string> {};
}

// An AppImage is found by its content; links and hard links stay inside.
TEST(TarActionsTest, EveryCompressionIsRecognisedAndNestedArchivesPackagesAndLinksAreFollowed)
{
    ScratchFolder folder;
    makeBundle(folder / "tree/Example.app");
    makeAppImage(folder / "tree/tools/Tool-x86_64", "Tool");
    writeFile(folder / "tree/README", "read me");
    makeBundle(folder / "inner/Inner.app");
    writeFile(folder / "inner/Inner.app/Contents/data", "payload");
    fs::create_hard_link(folder / "inner/Inner.app/Contents/data", folder / "inner/Inner.app/Contents/copy");
    fs::create_symlink("data", folder / "inner/Inner.app/Contents/Current");
    ASSERT_EQ(run({"tar", "-cJf", (folder / "tree/Inner.tar.xz").string(), "-C", (folder / "inner").string(), "Inner.app"}), 0);
    writePythonZip(folder / "tree/Zipped.zip", {"file('Zipped.app/Contents/MacOS/Zipped', b'#!/bin/sh')"});
    writeFile(folder / "tree/tool.deb", "!<arch>\ndebian-binary   ");
    for (const std::string name : {"Download.tar", "Download.tar.gz", "Download.tgz", "Download.tar.xz", "Download.tar.bz2", "Download.tar.zst"}) {
        SCOPED_TRACE(name);
        auto archive = folder / name;
        // tar compresses as the archive's name says.
        ASSERT_EQ(run({"tar", "-caf", archive.string(), "-C", (folder / "tree").string(), "."}), 0);
        EXPECT_EQ(ResourceValues::of(archive)->typeIdentifier, TypeIdentifiers::tarArchive);

        auto working = folder / "work" / name;
        auto source = "zip(" + name + ") < directory";
        EXPECT_EQ(extracted(archive, working), (std::vector<std::string> {"Example.app in " + source, "Inner.app in zip(Inner.tar.xz) < " + source, "Tool-x86_64 in " + source, "Zipped.app in zip(Zipped.zip) < " + source, "tool.deb package in " + source}));
        EXPECT_EQ(readFile(working / "Example.app/Contents/MacOS/Example"), "#!/bin/sh\nexit 0\n");
        EXPECT_TRUE(AppImageInstallation::isAppImage(working / "tools/Tool-x86_64"));
        EXPECT_FALSE(fs::exists(working / "README"));
        EXPECT_EQ(readFile(working / "Inner.app/Contents/copy"), "payload");
        EXPECT_EQ(fs::read_symlink(working / "Inner.app/Contents/Current"), "data");
    }
    writeFile(folder / "Fake.tar.gz", std::string("\x1f\x8b", 2) + "not really gzip");
    EXPECT_TRUE(extract(folder / "Fake.tar.gz", folder / "fake")->error());
}

TEST(TarActionsTest, HostileEntriesWriteNothingOutsideTheWorkingFolder)
{
    ScratchFolder folder;
    auto outside = folder / "outside";
    writeFile(outside / "secret", "secret");
    const auto before = describeTree(outside);
    struct Case {
        const char* name;
        std::vector<std::string> entries;
        tar::TarErrorCode expected;
    };
    const Case cases[] = {
        {"dot-dot", {"file('Evil.app/../../outside/escaped')"}, tar::TarErrorCode::invalidEntryPath},
        {"absolute", {"file('" + (outside / "absolute").string() + "')"}, tar::TarErrorCode::invalidEntryPath},
        {"link then a file through it", {"link('Evil.app/out', '../../outside')", "file('Evil.app/out/planted')"}, tar::TarErrorCode::invalidEntryPath},
        {"hard link leaving", {"hardlink('Evil.app/hard', '../outside/secret')"}, tar::TarErrorCode::invalidEntryPath},
        {"hard link absolute", {"hardlink('Evil.app/hard', '" + (outside / "secret").string() + "')"}, tar::TarErrorCode::invalidEntryPath},
        {"device", {"device('Evil.app/null')"}, tar::TarErrorCode::unsupportedEntryType},
        {"fifo", {"fifo('Evil.app/pipe')"}, tar::TarErrorCode::unsupportedEntryType},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto archive = folder / (std::string(testCase.name) + ".tar");
        writePythonTar(archive, testCase.entries);
        auto root = folder / "work" / testCase.name;
        auto result = tar::TarArchive::extract(URL::fileURL(archive, false), URL::fileURL(root, true), [](const tar::TarEntry&) { return true; });
        ASSERT_FALSE(result.ok());
        EXPECT_TRUE(tar::TarError::is(result.error(), testCase.expected)) << result.error()->description();
        // Neither a device nor a FIFO was made.
        for (const auto& item : fs::recursive_directory_iterator(root)) EXPECT_TRUE(item.is_symlink() || item.is_regular_file() || item.is_directory()) << item.path();
        // Searched as a download, the hostile bundle yields nothing.
        EXPECT_TRUE(extracted(archive, folder / "search" / testCase.name).empty());
        EXPECT_EQ(describeTree(outside), before);
    }
}

TEST(TarActionsTest, ACompressionBombIsNotReadToItsEnd)
{
    ScratchFolder folder;
    writeFile(folder / "tree/zeros", std::string(8 << 20, '\0'));
    ASSERT_EQ(run({"tar", "-czf", (folder / "Bomb.tar.gz").string(), "-C", (folder / "tree").string(), "zeros"}), 0);
    ASSERT_LT(fs::file_size(folder / "Bomb.tar.gz"), 1u << 20);
    auto limited = tar::TarArchive::list(URL::fileURL(folder / "Bomb.tar.gz", false), 1 << 20);
    ASSERT_FALSE(limited.ok());
    EXPECT_TRUE(tar::TarError::is(limited.error(), tar::TarErrorCode::exceedsSpaceBudget));
    auto listed = tar::TarArchive::list(URL::fileURL(folder / "Bomb.tar.gz", false), 64 << 20);
    ASSERT_TRUE(listed.ok());
    EXPECT_EQ(listed->size(), 1u);
}

} // namespace
