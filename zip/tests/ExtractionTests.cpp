// Extracting entries, with the guards against hostile archives.
#include "platform/foundation/FileError.hpp"
#include "platform/testing/ScratchFolder.hpp"
#include "zip/Archive.hpp"
#include "zip/Limits.hpp"
#include "zip/tests/ZipTestSupport.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace tavik;
using namespace tavik::zip;
using namespace tavik::zip::testing;
namespace fs = std::filesystem;

namespace {

constexpr time_t dosStamp = 1743938222; // the builder's date and time, as UTC

struct stat statusOf(const fs::path& path)
{
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status;
}

bool fileExists(const ErrorPtr& error) { return isFileError(error, FileError::Code::fileWriteFileExists); }
bool invalidPath(const ErrorPtr& error) { return ArchiveError::is(error, ArchiveError::Code::invalidEntryPath); }

class ExtractionTest : public ::testing::Test {
protected:
    Archive make(const std::vector<TestEntry>& entries)
    {
        auto archive = Archive::open(scratch.write("test.zip", buildArchive(entries)));
        EXPECT_TRUE(archive);
        return std::move(*archive);
    }
    // Where entries are extracted; the scratch folder around it must stay
    // as it is apart from the archive.
    URL root() const { return scratch.url("root"); }
    fs::path rootPath() const { return scratch / "root"; }
    // What an extraction stopped at; null when it succeeded.
    static std::shared_ptr<const ExtractionError> failureOf(const Result<void>& extracted) { return extracted ? nullptr : std::dynamic_pointer_cast<const ExtractionError>(extracted.error()); }

    tavik::testing::ScratchFolder scratch {"tavik-zip-test"};
};

} // namespace

// Neither kind of extraction ever overwrites an item that is there.
TEST_F(ExtractionTest, ExtractsFilesFoldersAndLinksWithTheirAttributesAndNeverOverwrites)
{
    std::string big = sampleBytes(100000);
    auto archive = make({
        {.name = "Tool.app/", .externalAttributes = 040700u << 16},
        {.name = "Tool.app/stored", .data = "stored bytes", .externalAttributes = 0100600u << 16},
        {.name = "Tool.app/deflated", .data = big, .method = 8, .externalAttributes = 0100755u << 16},
        {.name = "Tool.app/empty", .data = "", .method = 8},
        {.name = "Tool.app/link", .data = "deflated", .externalAttributes = symbolicLink},
    });
    for (const Entry& entry : archive) {
        auto done = archive.extract(entry, scratch.url("plain").appendingPathComponent(entry.path()));
        ASSERT_TRUE(done) << entry.path() << ": " << done.error()->description();
    }
    auto folder = scratch / "plain/Tool.app";
    EXPECT_EQ(tavik::testing::describeTree(folder.parent_path()), (std::vector<std::string> {"Tool.app mode=700 folder", "Tool.app/deflated mode=755 file:" + big, "Tool.app/empty mode=644 file:", "Tool.app/link mode=777 link->deflated", "Tool.app/stored mode=600 file:stored bytes"}));
    for (auto name : {"stored", "deflated", "link"})
        EXPECT_EQ(statusOf(folder / name).st_mtim.tv_sec, dosStamp) << name;

    scratch.write("plain/Tool.app/stored", "changed since");
    for (const Entry& entry : archive.entries())
        for (bool confined : {false, true}) {
            if (entry.type() == EntryType::directory) continue;
            auto again = confined ? archive.extractConfined(entry, scratch.url("plain")) : archive.extract(entry, scratch.url("plain").appendingPathComponent(entry.path()));
            EXPECT_TRUE(!again && fileExists(again.error())) << entry.path();
        }
    EXPECT_EQ(readFile(folder / "stored"), "changed since");
}

TEST_F(ExtractionTest, DamagedOrOversizedDataFails)
{
    std::string data = sampleBytes(50000);
    std::string stream = deflate(data);
    auto corrupted = [](const ErrorPtr& error) { return CompressionError::is(error, CompressionError::Code::corruptedData); };
    struct Case {
        TestEntry entry;
        bool (*isCause)(const ErrorPtr&);
    };
    const Case cases[] = {
        {{.name = "cut-stream", .data = data, .method = 8, .storedData = stream.substr(0, stream.size() / 2)}, corrupted},
        {{.name = "garbage", .data = data, .method = 8, .storedData = std::string(500, '\xFF')}, corrupted},
        // Inflates to far more than it claims.
        {{.name = "bomb", .data = std::string(1 << 20, '\0'), .method = 8, .recordedUncompressedSize = 1000}, corrupted},
        {{.name = "short-claim", .data = data, .method = 8, .recordedUncompressedSize = 60000}, corrupted},
        {{.name = "bzip2", .data = "x", .method = 12}, [](const ErrorPtr& error) { return ArchiveError::is(error, ArchiveError::Code::invalidCompressionMethod); }},
        // Claims more stored bytes than the archive holds.
        {{.name = "stored-past-end", .data = "tail", .recordedUncompressedSize = 1 << 20, .recordedCompressedSize = 1 << 20},
            [](const ErrorPtr& error) { return DataError::is(error, DataError::Code::unreadableFile); }},
    };
    for (const auto& [entry, isCause] : cases) {
        SCOPED_TRACE(entry.name);
        auto archive = make({entry});
        auto done = archive.extractConfined(archive.entries().at(0), root());
        ASSERT_FALSE(done);
        EXPECT_TRUE(isCause(done.error())) << done.error()->description();
    }
    EXPECT_LE(fs::file_size(rootPath() / "bomb"), 1000u);
}

TEST_F(ExtractionTest, ConfinedExtractionNeverWritesThroughALink)
{
    auto outside = scratch / "outside";
    fs::create_directories(outside);
    // A link made by an earlier entry, then entries that would write through it.
    auto archive = make({
        {.name = "escape", .data = outside.string(), .externalAttributes = symbolicLink},
        {.name = "escape/file", .data = "x"},
        {.name = "escape/folder/", .externalAttributes = directory},
        {.name = "escape", .externalAttributes = directory},
    });
    auto entries = archive.entries();
    ASSERT_TRUE(archive.extractConfined(entries[0], root()));
    for (size_t index : {1, 2, 3})
        EXPECT_FALSE(archive.extractConfined(entries[index], root())) << entries[index].path();
    EXPECT_TRUE(fs::is_empty(outside));

    // A link that was in the tree beforehand, and a dangling one at the very
    // destination of a file.
    fs::remove(rootPath() / "escape");
    fs::create_symlink(outside, rootPath() / "linked");
    fs::create_symlink(outside / "created", rootPath() / "file");
    auto second = make({{.name = "linked/file", .data = "x"}, {.name = "file", .data = "x"}});
    auto secondEntries = second.entries();
    EXPECT_TRUE(invalidPath(second.extractConfined(secondEntries[0], root()).error()));
    EXPECT_TRUE(fileExists(second.extractConfined(secondEntries[1], root()).error()));
    EXPECT_TRUE(fs::is_empty(outside));
}

// extractAll and extractSubtree make links after files and give folders
// their modes (read-only ones too) and dates last; set-user-ID is dropped.
TEST_F(ExtractionTest, ExtractionDefersLinksAndFolderAttributesAndASubtreeMakesOnlyItsEntries)
{
    auto archive = make({
        {.name = "App/", .externalAttributes = 040555u << 16},
        {.name = "App/Current", .data = "Versions/A", .externalAttributes = symbolicLink},
        {.name = "App/Versions/A/lib", .data = "library", .method = 8, .externalAttributes = 0104755u << 16},
        {.name = "App/Versions/", .externalAttributes = 040755u << 16},
        {.name = "App/Versions/A/", .externalAttributes = 040500u << 16},
        {.name = "Other/file", .data = "not asked for"},
    });
    auto expectApp = [](const fs::path& app) {
        EXPECT_EQ(tavik::testing::describeTree(app), (std::vector<std::string> {"Current mode=777 link->Versions/A", "Versions mode=755 folder", "Versions/A mode=500 folder", "Versions/A/lib mode=755 file:library"}));
        EXPECT_EQ(modeOf(app), 0555u);
        EXPECT_EQ(statusOf(app).st_mtim.tv_sec, dosStamp);
        EXPECT_EQ(statusOf(app / "Versions").st_mtim.tv_sec, dosStamp);
    };
    ASSERT_TRUE(archive.extractAll(scratch.url("all")));
    expectApp(scratch / "all/App");
    EXPECT_EQ(readFile(scratch / "all/Other/file"), "not asked for");

    std::vector<Entry> subtree;
    for (const Entry& entry : archive.entries())
        if (entry.path().starts_with("App/")) subtree.push_back(entry);
    std::vector<std::string> extracted;
    auto done = archive.extractSubtree(subtree, root(), [&](const Entry& entry) { extracted.push_back(entry.path()); });
    ASSERT_TRUE(done) << done.error()->description();
    EXPECT_EQ(extracted, (std::vector<std::string> {"App/", "App/Versions/A/lib", "App/Versions/", "App/Versions/A/", "App/Current"}));
    EXPECT_EQ(namesIn(rootPath()), std::vector<std::string> {"App"});
    expectApp(rootPath() / "App");
    auto location = Archive::confinedLocation("App/", root(), true);
    ASSERT_TRUE(location);
    EXPECT_EQ(*location, URL::fileURL(rootPath() / "App", true));
}

// A failed extraction names the entry it stopped at and leaves only what
// was there before: in a fresh root nothing at all, the root included;
// beside the user's own files, those as they were. Every entry is checked
// before anything is written: paths leaving the root, one entry more than
// the limit, a path too deep at the very end (named shortened).
TEST_F(ExtractionTest, AFailedExtractionNamesTheEntryItStoppedAtAndLeavesOnlyWhatWasThere)
{
    using Step = ExtractionError::Step;
    const std::string data = sampleBytes(40000), stream = deflate(data);
    const std::vector<TestEntry> damaged = {{.name = "App/", .externalAttributes = directory}, {.name = "App/new", .data = "new"},
        {.name = "made/", .externalAttributes = 040500u << 16}, {.name = "made/deeper/file", .data = data, .method = 8},
        {.name = "made/link", .data = "deeper", .externalAttributes = symbolicLink},
        {.name = "broken", .data = data, .method = 8, .storedData = stream.substr(0, stream.size() / 2)}};
    const std::vector<TestEntry> leaving = {{.name = "../up", .data = "x"}, {.name = "a/../../up", .data = "x"},
        {.name = "/tmp/tavik-zip-absolute", .data = "x"}, {.name = "..", .externalAttributes = directory}, {.name = "", .data = "x"}};
    std::vector<TestEntry> many(ArchiveLimits::maximumEntryCount + 1);
    for (size_t index = 0; index < many.size(); ++index)
        many[index].name = "f/" + std::to_string(index);
    std::string deep;
    for (size_t depth = 0; depth <= ArchiveLimits::maximumPathDepth; ++depth)
        deep += "d/";
    auto corrupted = [](const ErrorPtr& error) { return CompressionError::is(error, CompressionError::Code::corruptedData); };
    auto tooMany = [](const ErrorPtr& error) { return ArchiveError::is(error, ArchiveError::Code::tooManyEntries); };
    auto tooLong = [](const ErrorPtr& error) { return ArchiveError::is(error, ArchiveError::Code::entryPathTooLong); };
    struct Case {
        const char* name;
        std::string archive;
        bool whole; // extractAll; else extractSubtree of every entry
        bool userFiles; // root/App/b and root/other beforehand
        std::string failedPath, failedKind;
        Step step;
        bool (*isCause)(const ErrorPtr&);
    };
    const Case cases[] {
        {"link target that is not UTF-8", buildArchive({{.name = "App/a", .data = "a"}, {.name = "App/bad", .data = "\xff\xfe", .externalAttributes = symbolicLink}}),
            false, false, "App/bad", "symlink", Step::orderingLinks, invalidPath},
        {"path that leaves the root", buildArchive({{.name = "App/a", .data = "a"}, {.name = "App/../../up", .data = "x"}}), false, false, "App/../../up", "file", Step::extracting, invalidPath},
        {"file in the way halfway", buildArchive({{.name = "App/", .externalAttributes = directory}, {.name = "App/a", .data = "a"}, {.name = "App/b", .data = "b"}, {.name = "App/c", .data = "c"}}),
            false, true, "App/b", "file", Step::extracting, fileExists},
        {"damaged data into a fresh root", buildArchive(damaged), true, false, "broken", "file", Step::extracting, corrupted},
        {"damaged data beside the user's files", buildArchive(damaged), true, true, "broken", "file", Step::extracting, corrupted},
        // Links come last: the files make a real folder, and the link finds its place taken.
        {"a link the later entries would write through", buildArchive({{.name = "escape", .data = (scratch / "outside").string(), .externalAttributes = symbolicLink}, {.name = "escape/file", .data = "x"}, {.name = "escape/folder/", .externalAttributes = directory}, {.name = "escape", .externalAttributes = directory}}),
            true, true, "escape", "symlink", Step::extracting, fileExists},
        {"paths leaving the root", buildArchive(leaving), true, false, "../up", "file", Step::extracting, invalidPath},
        {"too many entries", buildArchive(many, {}, ArchiveFormat::zip64), true, false, "", "", Step::extracting, tooMany},
        {"a deep path last", buildArchive({{.name = "early", .data = "x"}, {.name = deep + "late", .data = "x"}}), true, false, deep.substr(0, 200) + "...", "", Step::extracting, tooLong},
    };
    many.clear();
    const std::vector<std::string> userTree = {"App mode=755 folder", "App/b mode=644 file:old", "other mode=644 file:other"};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        fs::remove_all(rootPath());
        if (testCase.userFiles) {
            scratch.write("root/App/b", "old");
            scratch.write("root/other", "other");
        }
        auto archive = Archive::open(scratch.write("test.zip", testCase.archive));
        ASSERT_TRUE(archive);
        auto failure = failureOf(testCase.whole ? archive->extractAll(root()) : archive->extractSubtree(archive->entries(), root()));
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->entryPath(), testCase.failedPath);
        EXPECT_EQ(failure->entryKind(), testCase.failedKind);
        EXPECT_EQ(failure->step(), testCase.step);
        EXPECT_TRUE(testCase.isCause(failure->cause())) << failure->cause()->description();
        EXPECT_EQ(failure->description(), failure->cause()->description());
        if (testCase.userFiles)
            EXPECT_EQ(tavik::testing::describeTree(rootPath()), userTree);
        else
            EXPECT_EQ(namesIn(scratch.path()), std::vector<std::string> {"test.zip"});
    }
    EXPECT_FALSE(fs::exists("/tmp/tavik-zip-absolute"));
    EXPECT_FALSE(fs::exists(scratch / "outside"));

    // One by one, each path leaving the root is refused as well.
    auto hostile = make(leaving);
    for (const Entry& entry : hostile.entries())
        EXPECT_TRUE(invalidPath(hostile.extractConfined(entry, root()).error())) << entry.path();
    EXPECT_FALSE(Archive::confinedLocation("App/../../up", root(), false));

    // Entries extracted one by one are taken back with their journal, and only they.
    scratch.write("root/App/b", "old");
    scratch.write("root/other", "other");
    auto archive = make(damaged);
    ExtractionJournal journal;
    for (const Entry& entry : archive.entries())
        if (entry.type() != EntryType::symlink && entry.path() != "broken") {
            ASSERT_TRUE(archive.extractConfined(entry, root(), Archive::defaultChunkSize, &journal)) << entry.path();
        }
    EXPECT_TRUE(fs::exists(rootPath() / "made/deeper/file"));
    journal.removeCreated(root());
    EXPECT_TRUE(journal.empty());
    EXPECT_EQ(tavik::testing::describeTree(rootPath()), userTree);
}
