#include "Tavik/file-handling/AppImageInstallation.hpp"
#include "Tavik/file-handling/TarActions.hpp"
#include "Tavik/file-handling/tests/SearchFixtures.hpp"
#include "platform/foundation/TypeIdentifier.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace tavik;
using namespace tavik::testing;
namespace fs = std::filesystem;

namespace {

const auto rootSource = InstallableApplication::Source::directory(URL::fileURL("/downloads", true), FileSource::directory);

std::vector<InstallableApplication> extractAll(const fs::path& archive, const fs::path& destination)
{
    ResultWaiter<URL, std::vector<InstallableApplication>> waiter;
    ExtractApplicationsInTarAction(URL::fileURL(destination, true), nullptr, rootSource)
        .perform(URL::fileURL(archive, false), waiter.completion());
    auto result = waiter.wait();
    EXPECT_TRUE(result && result->isMapped());
    return result && result->output() ? *result->output() : std::vector<InstallableApplication> {};
}

std::vector<std::string> names(const std::vector<InstallableApplication>& items)
{
    std::vector<std::string> lines;
    for (const auto& item : items)
        lines.push_back(item.url.lastPathComponent() + (item.kind == InstallableApplication::Kind::package ? " package" : ""));
    std::sort(lines.begin(), lines.end());
    return lines;
}

} // namespace

TEST(TarActionsTest, EveryCompressionIsRecognisedSearchedAndExtracted)
{
    struct Case {
        const char* name;
        std::vector<std::string> flags;
    };
    const Case cases[] = {
        {"Download.tar", {"-cf"}},
        {"Download.tar.gz", {"-czf"}},
        {"Download.tgz", {"-czf"}},
        {"Download.tar.xz", {"-cJf"}},
        {"Download.tar.bz2", {"-cjf"}},
        {"Download.tar.zst", {"--zstd", "-cf"}},
    };
    ScratchFolder folder;
    auto tree = folder / "tree";
    makeBundle(tree / "Example.app");
    makeAppImage(tree / "tools/Tool-x86_64", "Tool");
    writeFile(tree / "README", "read me");
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto archive = folder / "downloads" / testCase.name;
        fs::create_directories(archive.parent_path());
        std::vector<std::string> command {"tar"};
        command.insert(command.end(), testCase.flags.begin(), testCase.flags.end());
        command.insert(command.end(), {archive.string(), "-C", tree.string(), "."});
        ASSERT_EQ(run(command), 0);

        auto values = ResourceValues::of(archive);
        ASSERT_TRUE(values.ok());
        EXPECT_EQ(values->typeIdentifier, TypeIdentifiers::tarArchive);

        auto destination = folder / "work" / testCase.name;
        auto items = extractAll(archive, destination);
        // The AppImage is found by its content, whatever its name.
        EXPECT_EQ(names(items), (std::vector<std::string> {"Example.app", "Tool-x86_64"}));
        for (const auto& item : items)
            EXPECT_EQ(describeSource(item.source), "zip(" + std::string(testCase.name) + ") < directory");
        EXPECT_EQ(readFile(destination / "Example.app/Contents/MacOS/Example"), "#!/bin/sh\nexit 0\n");
        EXPECT_TRUE(AppImageInstallation::isAppImage(destination / "tools/Tool-x86_64"));
        EXPECT_FALSE(fs::exists(destination / "README"));
    }
}

TEST(TarActionsTest, NestedArchivesAndPackagesAreFollowed)
{
    ScratchFolder folder;
    makeBundle(folder / "inner/Inner.app");
    fs::create_directories(folder / "outer");
    ASSERT_EQ(run({"tar", "-cJf", (folder / "outer/Inner.tar.xz").string(), "-C", (folder / "inner").string(), "Inner.app"}), 0);
    writePythonZip(folder / "outer/Zipped.zip", {"file('Zipped.app/Contents/MacOS/Zipped', b'#!/bin/sh')"});
    writeFile(folder / "outer/tool.deb", "!<arch>\ndebian-binary   ");
    ASSERT_EQ(run({"tar", "-czf", (folder / "Outer.tar.gz").string(), "-C", (folder / "outer").string(), "."}), 0);

    auto items = extractAll(folder / "Outer.tar.gz", folder / "work");
    EXPECT_EQ(names(items), (std::vector<std::string> {"Inner.app", "Zipped.app", "tool.deb package"}));
    auto inner = std::find_if(items.begin(), items.end(), [](const auto& item) { return item.url.lastPathComponent() == "Inner.app"; });
    ASSERT_NE(inner, items.end());
    EXPECT_EQ(describeSource(inner->source), "zip(Inner.tar.xz) < zip(Outer.tar.gz) < directory");
}

TEST(TarActionsTest, HostileEntriesWriteNothingOutsideTheWorkingFolder)
{
    ScratchFolder folder;
    auto outside = folder / "outside";
    writeFile(outside / "secret", "secret");
    const auto before = describeTree(outside);
    const std::string absolute = (outside / "absolute").string();
    struct Case {
        const char* name;
        std::vector<std::string> entries;
        tar::TarErrorCode expected;
    };
    const Case cases[] = {
        {"dot-dot", {"file('Evil.app/../../outside/escaped')"}, tar::TarErrorCode::invalidEntryPath},
        {"absolute", {"file('" + absolute + "')"}, tar::TarErrorCode::invalidEntryPath},
        {"link then a file through it", {"link('Evil.app/out', '../../outside')", "file('Evil.app/out/planted')"},
            tar::TarErrorCode::invalidEntryPath},
        {"hard link leaving", {"hardlink('Evil.app/hard', '../outside/secret')"}, tar::TarErrorCode::invalidEntryPath},
        {"hard link absolute", {"hardlink('Evil.app/hard', '" + (outside / "secret").string() + "')"},
            tar::TarErrorCode::invalidEntryPath},
        {"device", {"device('Evil.app/null')"}, tar::TarErrorCode::unsupportedEntryType},
        {"fifo", {"fifo('Evil.app/pipe')"}, tar::TarErrorCode::unsupportedEntryType},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto archive = folder / (std::string(testCase.name) + ".tar");
        writePythonTar(archive, testCase.entries);
        auto root = folder / "work" / testCase.name;
        auto extracted = tar::TarArchive::extract(URL::fileURL(archive, false), URL::fileURL(root, true),
            [](const tar::TarEntry&) { return true; });
        ASSERT_FALSE(extracted.ok());
        EXPECT_TRUE(tar::TarError::is(extracted.error(), testCase.expected)) << extracted.error()->description();
        EXPECT_EQ(describeTree(outside), before);
        // Neither a device nor a FIFO was made.
        for (const auto& item : fs::recursive_directory_iterator(root)) {
            struct stat status {};
            ASSERT_EQ(lstat(item.path().c_str(), &status), 0);
            EXPECT_TRUE(S_ISREG(status.st_mode) || S_ISDIR(status.st_mode) || S_ISLNK(status.st_mode)) << item.path();
        }
        // Searched as a download, the hostile bundle yields nothing.
        EXPECT_TRUE(extractAll(archive, folder / "search" / testCase.name).empty());
        EXPECT_EQ(describeTree(outside), before);
    }
}

TEST(TarActionsTest, HardLinksInsideTheFolderAndLinksAreKept)
{
    ScratchFolder folder;
    writePythonTar(folder / "Good.tar", {"file('Good.app/Contents/data', b'payload')", "hardlink('Good.app/Contents/copy', 'Good.app/Contents/data')", "link('Good.app/Contents/Current', 'data')"});
    auto items = extractAll(folder / "Good.tar", folder / "work");
    ASSERT_EQ(names(items), std::vector<std::string> {"Good.app"});
    EXPECT_EQ(readFile(folder / "work/Good.app/Contents/copy"), "payload");
    EXPECT_EQ(fs::read_symlink(folder / "work/Good.app/Contents/Current"), "data");
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

TEST(TarActionsTest, AFileThatIsNotATarArchiveFails)
{
    ScratchFolder folder;
    writeFile(folder / "Fake.tar.gz", std::string("\x1f\x8b", 2) + "not really gzip");
    ResultWaiter<URL, std::vector<InstallableApplication>> waiter;
    ExtractApplicationsInTarAction(URL::fileURL(folder / "work", true), nullptr, rootSource)
        .perform(URL::fileURL(folder / "Fake.tar.gz", false), waiter.completion());
    auto result = waiter.wait();
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->error());
}
