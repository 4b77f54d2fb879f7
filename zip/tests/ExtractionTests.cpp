// Extracting entries and reading their data, with the guards against
// hostile archives.
#include "platform/foundation/FileError.hpp"
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
    // What extractAll stopped at; null when it succeeded.
    static std::shared_ptr<const ExtractionError> failureOf(const Result<void>& extracted)
    {
        return extracted ? nullptr : std::dynamic_pointer_cast<const ExtractionError>(extracted.error());
    }
    std::vector<std::string> scratchContents() const { return directoryContents(scratch.path()); }
    static std::vector<std::string> directoryContents(const fs::path& folder)
    {
        std::vector<std::string> names;
        for (const auto& item : fs::directory_iterator(folder))
            names.push_back(item.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    ScratchFolder scratch;
};

mode_t modeOf(const fs::path& path)
{
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status.st_mode;
}

time_t modificationOf(const fs::path& path)
{
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status.st_mtim.tv_sec;
}

std::string randomBytes(size_t count)
{
    std::string bytes(count, '\0');
    uint32_t state = 12345;
    for (auto& byte : bytes) {
        state = state * 1103515245 + 12345;
        byte = static_cast<char>((state >> 16) % 7 == 0 ? 'a' : (state >> 8));
    }
    return bytes;
}

} // namespace

TEST_F(ExtractionTest, ExtractsFilesFoldersAndLinksWithTheirAttributes)
{
    std::string big = randomBytes(100000);
    auto archive = make({
        {.name = "Tool.app/", .externalAttributes = 040700u << 16},
        {.name = "Tool.app/stored", .data = "stored bytes", .externalAttributes = 0100600u << 16},
        {.name = "Tool.app/deflated", .data = big, .method = 8, .externalAttributes = 0100755u << 16},
        {.name = "Tool.app/empty", .data = "", .method = 8},
        {.name = "Tool.app/link", .data = "deflated", .externalAttributes = symbolicLink},
    });
    for (const Entry& entry : archive) {
        auto destination = scratch.url("plain").appendingPathComponent(entry.path());
        auto done = archive.extract(entry, destination);
        ASSERT_TRUE(done) << entry.path() << ": " << done.error()->description();
    }
    auto folder = scratch.path() / "plain/Tool.app";
    EXPECT_EQ(readFile(folder / "stored"), "stored bytes");
    EXPECT_EQ(readFile(folder / "deflated"), big);
    EXPECT_EQ(readFile(folder / "empty"), "");
    EXPECT_EQ(fs::read_symlink(folder / "link"), "deflated");
    EXPECT_EQ(modeOf(folder / "stored") & 07777, 0600u);
    EXPECT_EQ(modeOf(folder / "deflated") & 07777, 0755u);
    EXPECT_EQ(modeOf(folder) & 07777, 0700u);
    EXPECT_TRUE(S_ISLNK(modeOf(folder / "link")));
    for (auto name : {"stored", "deflated", "link"})
        EXPECT_EQ(modificationOf(folder / name), 1743938222) << name;
}

TEST_F(ExtractionTest, NeverOverwritesAnExistingItem)
{
    auto archive = make({{.name = "file", .data = "new"}, {.name = "link", .data = "file", .externalAttributes = symbolicLink}});
    fs::create_directories(root().path());
    scratch.write("root/file", "old");
    scratch.write("root/link", "old link");
    for (const Entry& entry : archive) {
        for (bool confined : {false, true}) {
            auto done = confined ? archive.extractConfined(entry, root())
                                 : archive.extract(entry, root().appendingPathComponent(entry.path()));
            ASSERT_FALSE(done) << entry.path();
            EXPECT_TRUE(isFileError(done.error(), FileError::Code::fileWriteFileExists)) << done.error()->description();
        }
    }
    EXPECT_EQ(readFile(root().path() / "file"), "old");
    EXPECT_EQ(readFile(root().path() / "link"), "old link");
}

TEST_F(ExtractionTest, DamagedOrOversizedDataFails)
{
    std::string data = randomBytes(50000);
    std::string stream = deflate(data);
    auto archive = make({
        {.name = "cut-stream", .data = data, .method = 8, .storedData = stream.substr(0, stream.size() / 2)},
        {.name = "garbage", .data = data, .method = 8, .storedData = std::string(500, '\xFF')},
        // Inflates to far more than it claims.
        {.name = "bomb", .data = std::string(1 << 20, '\0'), .method = 8, .recordedUncompressedSize = 1000},
        {.name = "short-claim", .data = data, .method = 8, .recordedUncompressedSize = 60000},
        {.name = "bzip2", .data = "x", .method = 12},
        // Claims more stored bytes than the archive holds.
        {.name = "stored-past-end", .data = "tail", .recordedUncompressedSize = 1 << 20, .recordedCompressedSize = 1 << 20},
    });
    auto entries = archive.entries();
    ASSERT_EQ(entries.size(), 6u);
    auto extract = [&](const Entry& entry) { return archive.extractConfined(entry, root()); };
    auto corrupted = CompressionError::Code::corruptedData;
    EXPECT_TRUE(CompressionError::is(extract(entries[0]).error(), corrupted));
    EXPECT_TRUE(CompressionError::is(extract(entries[1]).error(), corrupted));
    EXPECT_TRUE(CompressionError::is(extract(entries[2]).error(), corrupted));
    EXPECT_LE(fs::file_size(root().path() / "bomb"), 1000u);
    EXPECT_TRUE(CompressionError::is(extract(entries[3]).error(), corrupted));
    EXPECT_TRUE(ArchiveError::is(extract(entries[4]).error(), ArchiveError::Code::invalidCompressionMethod));
    EXPECT_TRUE(DataError::is(extract(entries[5]).error(), DataError::Code::unreadableFile));
}

TEST_F(ExtractionTest, ReadsDataThroughTheCallersFunction)
{
    std::string data = randomBytes(70000);
    auto archive = make({
        {.name = "stored", .data = data},
        {.name = "deflated", .data = data, .method = 8},
        {.name = "folder/", .externalAttributes = directory},
        {.name = "link", .data = deflate("../target"), .method = 8, .externalAttributes = symbolicLink, .storedData = deflate("../target"), .recordedUncompressedSize = 9},
    });
    auto entries = archive.entries();
    ASSERT_EQ(entries.size(), 4u);
    for (size_t index : {0, 1}) {
        std::string collected;
        size_t largest = 0;
        auto done = archive.read(
            entries[index], [&](std::span<const std::byte> chunk) -> Result<void> {
                largest = std::max(largest, chunk.size());
                collected.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
                return {};
            },
            4096);
        ASSERT_TRUE(done);
        EXPECT_EQ(collected, data);
        EXPECT_EQ(largest, 4096u);
    }
    std::vector<std::string> pieces;
    auto collect = [&](std::span<const std::byte> chunk) -> Result<void> {
        pieces.emplace_back(reinterpret_cast<const char*>(chunk.data()), chunk.size());
        return {};
    };
    ASSERT_TRUE(archive.read(entries[2], collect));
    ASSERT_TRUE(archive.read(entries[3], collect));
    EXPECT_EQ(pieces, (std::vector<std::string> {"", "../target"}));

    // The consumer's error stops the reading and comes back.
    int calls = 0;
    auto stopped = archive.read(entries[1], [&](std::span<const std::byte>) -> Result<void> {
        ++calls;
        return ArchiveError::make(ArchiveError::Code::cancelledOperation);
    });
    EXPECT_TRUE(ArchiveError::is(stopped.error(), ArchiveError::Code::cancelledOperation));
    EXPECT_EQ(calls, 1);
}

TEST_F(ExtractionTest, ConfinedExtractionRefusesPathsLeavingTheRoot)
{
    auto archive = make({
        {.name = "../up", .data = "x"},
        {.name = "a/../../up", .data = "x"},
        {.name = "/tmp/tavik-zip-absolute", .data = "x"},
        {.name = "..", .externalAttributes = directory},
        {.name = "", .data = "x"},
    });
    auto entries = archive.entries();
    ASSERT_EQ(entries.size(), 5u);
    for (const Entry& entry : entries) {
        auto done = archive.extractConfined(entry, root());
        ASSERT_FALSE(done) << entry.path();
        EXPECT_TRUE(ArchiveError::is(done.error(), ArchiveError::Code::invalidEntryPath)) << entry.path();
    }
    auto failure = failureOf(archive.extractAll(root()));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->entryPath(), "../up");
    EXPECT_FALSE(fs::exists("/tmp/tavik-zip-absolute"));
    // Every path is checked before anything is written, the root included.
    EXPECT_EQ(scratchContents(), (std::vector<std::string> {"test.zip"}));
}

TEST_F(ExtractionTest, ConfinedExtractionNeverWritesThroughALink)
{
    auto outside = scratch.path() / "outside";
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
    for (size_t index : {1, 2, 3}) {
        auto done = archive.extractConfined(entries[index], root());
        ASSERT_FALSE(done) << entries[index].path();
    }
    EXPECT_TRUE(fs::is_empty(outside));

    // extractAll makes links last, so the file entry lands in a real folder
    // and the link then finds its place taken; the failure takes away what
    // the extraction made, and only that.
    fs::remove(root().path() / "escape");
    scratch.write("root/kept", "was there before");
    auto failure = failureOf(archive.extractAll(root()));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->entryPath(), "escape");
    EXPECT_TRUE(isFileError(failure->cause(), FileError::Code::fileWriteFileExists));
    EXPECT_EQ(directoryContents(root().path()), std::vector<std::string> {"kept"});
    EXPECT_TRUE(fs::is_empty(outside));

    // A link that was in the tree beforehand, and a dangling one at the very
    // destination of a file.
    ScratchFolder other;
    fs::create_directories(other.path() / "root");
    fs::create_symlink(outside, other.path() / "root/escape");
    fs::create_symlink(outside / "created", other.path() / "root/file");
    auto second = Archive::open(other.write("test.zip",
        buildArchive({{.name = "escape/file", .data = "x"}, {.name = "file", .data = "x"}})));
    ASSERT_TRUE(second);
    auto secondEntries = second->entries();
    auto throughFolder = second->extractConfined(secondEntries[0], other.url("root"));
    EXPECT_TRUE(ArchiveError::is(throughFolder.error(), ArchiveError::Code::invalidEntryPath));
    auto atDestination = second->extractConfined(secondEntries[1], other.url("root"));
    EXPECT_TRUE(isFileError(atDestination.error(), FileError::Code::fileWriteFileExists));
    EXPECT_TRUE(fs::is_empty(outside));
}

TEST_F(ExtractionTest, ExtractAllDefersLinksAndFolderAttributes)
{
    auto archive = make({
        {.name = "Framework/", .externalAttributes = 040555u << 16},
        {.name = "Framework/Current", .data = "Versions/A", .externalAttributes = symbolicLink},
        {.name = "Framework/Versions/A/lib", .data = "library", .externalAttributes = 0104755u << 16},
        {.name = "Framework/Versions/", .externalAttributes = 040755u << 16},
        {.name = "Framework/Versions/A/", .externalAttributes = 040500u << 16},
    });
    ASSERT_TRUE(archive.extractAll(root()));
    auto framework = root().path() / "Framework";
    EXPECT_EQ(fs::read_symlink(framework / "Current"), "Versions/A");
    EXPECT_EQ(readFile(framework / "Current/lib"), "library");
    // Read-only folders got their modes after their contents were written;
    // the set-user-ID bit is dropped.
    EXPECT_EQ(modeOf(framework) & 07777, 0555u);
    EXPECT_EQ(modeOf(framework / "Versions/A") & 07777, 0500u);
    EXPECT_EQ(modeOf(framework / "Versions/A/lib") & 07777, 0755u);
    EXPECT_EQ(modificationOf(framework), 1743938222);
    EXPECT_EQ(modificationOf(framework / "Versions"), 1743938222);
}

TEST_F(ExtractionTest, ExtractAllChecksEveryEntryBeforeWritingAnything)
{
    // Real entries, one more than the limit: refused before the root exists.
    std::vector<TestEntry> many(ArchiveLimits::maximumEntryCount + 1);
    for (size_t index = 0; index < many.size(); ++index)
        many[index].name = "f/" + std::to_string(index);
    auto tooMany = Archive::open(scratch.write("many.zip", buildArchive(many, {}, ArchiveFormat::zip64)));
    many.clear();
    ASSERT_TRUE(tooMany);
    auto failure = failureOf(tooMany->extractAll(root()));
    ASSERT_TRUE(failure);
    EXPECT_TRUE(ArchiveError::is(failure->cause(), ArchiveError::Code::tooManyEntries));
    EXPECT_FALSE(fs::exists(root().path()));

    // A path too deep at the very end stops it as well.
    std::string deep;
    for (size_t depth = 0; depth <= ArchiveLimits::maximumPathDepth; ++depth)
        deep += "d/";
    auto archive = make({{.name = "early", .data = "x"}, {.name = deep + "late", .data = "x"}});
    failure = failureOf(archive.extractAll(root()));
    ASSERT_TRUE(failure);
    EXPECT_TRUE(ArchiveError::is(failure->cause(), ArchiveError::Code::entryPathTooLong));
    EXPECT_FALSE(fs::exists(root().path()));
}

TEST_F(ExtractionTest, AFailedExtractionRemovesWhatItMadeAndOnlyThat)
{
    std::string data = randomBytes(40000);
    std::string stream = deflate(data);
    auto archive = make({
        {.name = "kept/", .externalAttributes = directory},
        {.name = "kept/new", .data = "new"},
        {.name = "made/", .externalAttributes = 040500u << 16},
        {.name = "made/deeper/file", .data = data, .method = 8},
        {.name = "made/link", .data = "deeper", .externalAttributes = symbolicLink},
        {.name = "broken", .data = data, .method = 8, .storedData = stream.substr(0, stream.size() / 2)},
    });
    // Into a fresh root: nothing is left, the root included.
    auto failure = failureOf(archive.extractAll(root()));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->entryPath(), "broken");
    EXPECT_TRUE(CompressionError::is(failure->cause(), CompressionError::Code::corruptedData));
    EXPECT_EQ(scratchContents(), std::vector<std::string> {"test.zip"});

    // Into a root with things of its own: those stay as they were.
    fs::create_directories(root().path() / "kept");
    scratch.write("root/kept/old", "old");
    scratch.write("root/other", "other");
    failure = failureOf(archive.extractAll(root()));
    ASSERT_TRUE(failure);
    EXPECT_EQ(directoryContents(root().path()), (std::vector<std::string> {"kept", "other"}));
    EXPECT_EQ(directoryContents(root().path() / "kept"), std::vector<std::string> {"old"});

    // The same for entries extracted one by one with a journal.
    ExtractionJournal journal;
    for (const Entry& entry : archive.entries()) {
        if (entry.type() != EntryType::symlink && entry.path() != "broken") {
            ASSERT_TRUE(archive.extractConfined(entry, root(), Archive::defaultChunkSize, &journal)) << entry.path();
        }
    }
    EXPECT_TRUE(fs::exists(root().path() / "made/deeper/file"));
    journal.removeCreated(root());
    EXPECT_TRUE(journal.empty());
    EXPECT_EQ(directoryContents(root().path()), (std::vector<std::string> {"kept", "other"}));
    EXPECT_EQ(readFile(root().path() / "kept/old"), "old");
}

TEST_F(ExtractionTest, ExtractSubtreeMakesOnlyItsEntriesWithLinksAfterFilesAndFolderAttributesLast)
{
    auto archive = make({
        {.name = "App/", .externalAttributes = 040555u << 16},
        {.name = "App/Current", .data = "Versions/A", .externalAttributes = symbolicLink},
        {.name = "App/Versions/A/lib", .data = "library", .method = 8},
        {.name = "Other/file", .data = "not asked for"},
    });
    std::vector<Entry> subtree;
    for (const Entry& entry : archive.entries()) {
        if (entry.path().starts_with("App/"))
            subtree.push_back(entry);
    }
    std::vector<std::string> extracted;
    auto done = archive.extractSubtree(subtree, root(), [&](const Entry& entry) { extracted.push_back(entry.path()); });
    ASSERT_TRUE(done) << done.error()->description();

    EXPECT_EQ(extracted, (std::vector<std::string> {"App/", "App/Versions/A/lib", "App/Current"}));
    EXPECT_EQ(directoryContents(root().path()), std::vector<std::string> {"App"});
    auto app = root().path() / "App";
    EXPECT_EQ(fs::read_symlink(app / "Current"), "Versions/A");
    EXPECT_EQ(readFile(app / "Current/lib"), "library");
    EXPECT_EQ(modeOf(app) & 07777, 0555u);
    auto location = Archive::confinedLocation("App/", root(), true);
    ASSERT_TRUE(location);
    EXPECT_EQ(*location, URL::fileURL(app, true));
    EXPECT_FALSE(Archive::confinedLocation("App/../../up", root(), false));
}

TEST_F(ExtractionTest, ExtractSubtreeNamesTheEntryItStoppedAtAndLeavesOnlyWhatWasThere)
{
    struct Case {
        const char* name;
        std::vector<TestEntry> entries;
        // A file of the user's at root/App/b beforehand.
        bool userFileInTheWay;
        std::string failedPath;
        std::string failedKind;
        ExtractionError::Step step;
        bool (*isCause)(const ErrorPtr&);
    };
    auto invalidPath = [](const ErrorPtr& error) { return ArchiveError::is(error, ArchiveError::Code::invalidEntryPath); };
    auto existing = [](const ErrorPtr& error) { return isFileError(error, FileError::Code::fileWriteFileExists); };
    std::vector<Case> cases {
        {"link target that is not UTF-8",
            {{.name = "App/a", .data = "a"}, {.name = "App/bad", .data = "\xff\xfe", .externalAttributes = symbolicLink}},
            false, "App/bad", "symlink", ExtractionError::Step::orderingLinks, invalidPath},
        {"path that leaves the root",
            {{.name = "App/a", .data = "a"}, {.name = "App/../../up", .data = "x"}}, false, "App/../../up", "file",
            ExtractionError::Step::extracting, invalidPath},
        {"file in the way halfway",
            {{.name = "App/", .externalAttributes = directory}, {.name = "App/a", .data = "a"},
                {.name = "App/b", .data = "b"}, {.name = "App/c", .data = "c"}},
            true, "App/b", "file", ExtractionError::Step::extracting, existing},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        fs::remove_all(root().path());
        if (testCase.userFileInTheWay) {
            fs::create_directories(root().path() / "App");
            scratch.write("root/App/b", "old");
        }
        auto archive = make(testCase.entries);
        auto done = archive.extractSubtree(archive.entries(), root());
        ASSERT_FALSE(done);
        auto failure = failureOf(done);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->entryPath(), testCase.failedPath);
        EXPECT_EQ(failure->entryKind(), testCase.failedKind);
        EXPECT_EQ(failure->step(), testCase.step);
        EXPECT_TRUE(testCase.isCause(failure->cause())) << failure->cause()->description();
        EXPECT_EQ(failure->description(), failure->cause()->description());
        if (testCase.userFileInTheWay) {
            EXPECT_EQ(directoryContents(root().path() / "App"), std::vector<std::string> {"b"});
            EXPECT_EQ(readFile(root().path() / "App/b"), "old");
        } else {
            // Refused before anything was written.
            EXPECT_FALSE(fs::exists(root().path()));
        }
    }
}
