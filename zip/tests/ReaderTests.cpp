// Opening archives and walking their entries.
#include "platform/foundation/FileError.hpp"
#include "platform/testing/ScratchFolder.hpp"
#include "zip/Archive.hpp"
#include "zip/Limits.hpp"
#include "zip/tests/ZipTestSupport.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::zip;
using namespace tavik::zip::testing;
using Code = ArchiveError::Code;

namespace {

// The entry's data, read in chunks of at most 4,096 bytes.
std::string contents(Archive& archive, const Entry& entry)
{
    std::string data;
    auto done = archive.read(
        entry, [&](std::span<const std::byte> chunk) -> Result<void> {
            EXPECT_LE(chunk.size(), 4096u);
            data.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
            return {};
        },
        4096);
    EXPECT_TRUE(done.ok()) << (done ? "" : done.error()->description());
    return data;
}

// Replaces eight bytes at `at` with a little-endian value.
std::string patched64(std::string bytes, size_t at, uint64_t value)
{
    for (size_t byte = 0; byte < 8; ++byte)
        bytes[at + byte] = static_cast<char>(value >> (8 * byte));
    return bytes;
}

std::string patched(std::string bytes, size_t at, const std::string& with) { return bytes.replace(at, with.size(), with); }

class ReaderTest : public ::testing::Test {
protected:
    Result<Archive> open(const std::string& bytes) { return Archive::open(scratch.write("test.zip", bytes)); }
    // The paths a walk sees (stopped by the callback after `stopAt`), and how the walk ended.
    std::pair<std::vector<std::string>, Result<void>> walk(Archive& archive, const std::string& stopAt = {})
    {
        std::vector<std::string> seen;
        auto walked = archive.forEachEntry([&](const Entry& entry) {
            seen.push_back(entry.path());
            return entry.path() == stopAt ? IterationDecision::stop : IterationDecision::continue_;
        });
        return {seen, walked};
    }
    tavik::testing::ScratchFolder scratch {"tavik-zip-test"};
};

} // namespace

// The end record is searched for in the last 65,999 bytes; damaged ZIP64
// records and archives on several disks are refused.
TEST_F(ReaderTest, OpensWhatHasAnEndRecordInReachAndSaysWhyNotOtherwise)
{
    const std::string archive = buildArchive({{.name = "a", .data = "1"}});
    const std::string commented = buildArchive({}, "comment");
    const std::string zip64 = buildArchive({{.name = "a", .data = "1"}, {.name = "b", .data = "22"}}, {}, ArchiveFormat::zip64);
    // Offsets from the end: end record 22 bytes, locator 20, 64-bit end record 56.
    const size_t end = zip64.size() - 22, locator = end - 20, record = locator - 56;
    struct Case {
        const char* what;
        std::string bytes;
        std::optional<Code> refusal;
    };
    const Case cases[] = {
        {"an end record alone", buildArchive({}), {}},
        {"a ZIP64 archive", zip64, {}},
        {"trailing data leaving the record in reach", archive + std::string(65999 - 22, '\0'), {}},
        {"one byte more of trailing data", archive + std::string(65999 - 22 + 1, '\0'), Code::missingEndOfCentralDirectoryRecord},
        {"an empty file", "", Code::missingEndOfCentralDirectoryRecord},
        {"less than a record", std::string(21, 'x'), Code::missingEndOfCentralDirectoryRecord},
        {"no record", std::string(5000, 'x'), Code::missingEndOfCentralDirectoryRecord},
        {"a comment longer than what follows", commented.substr(0, commented.size() - 1), Code::unreadableArchive},
        {"locator points past the file", patched64(zip64, locator + 8, uint64_t {1} << 40), Code::unreadableArchive},
        {"record would overlap the locator", patched64(zip64, locator + 8, record + 1), Code::unreadableArchive},
        {"64-bit end record without its signature", patched(zip64, record, "XXXX"), Code::unreadableArchive},
        {"64-bit end record of another disk", patched(zip64, record + 16, "\x01"), Code::unreadableArchive},
        {"entries on this disk are not all entries", patched(zip64, record + 24, "\x01"), Code::unreadableArchive},
        {"central directory runs into the end record", patched64(zip64, record + 40, record + 1), Code::unreadableArchive},
        {"central directory beyond the file", patched64(zip64, record + 48, uint64_t {1} << 40), Code::unreadableArchive},
        {"locator counts two disks", patched(zip64, locator + 16, "\x02"), Code::unreadableArchive},
        {"classic end record of the second disk", patched(archive, archive.size() - 22 + 4, "\x01"), Code::unreadableArchive},
        {"classic directory starting on another disk", patched(archive, archive.size() - 22 + 6, "\x01"), Code::unreadableArchive},
    };
    for (const auto& [what, bytes, refusal] : cases) {
        SCOPED_TRACE(what);
        auto opened = open(bytes);
        ASSERT_EQ(opened.ok(), !refusal);
        if (refusal) {
            EXPECT_TRUE(ArchiveError::is(opened.error(), *refusal)) << opened.error()->description();
        }
    }
    auto missing = Archive::open(scratch.url("missing.zip"));
    ASSERT_FALSE(missing);
    EXPECT_TRUE(isFileError(missing.error(), FileError::Code::fileReadNoSuchFile)) << missing.error()->description();
}

// Classic and ZIP64 archives: stored and deflated data, data descriptors
// with and without signature (8-byte sizes in ZIP64), a link's target; the
// caller's function gets the data and can stop the reading.
TEST_F(ReaderTest, ReadsDataAndDescriptorsOfClassicAndZip64Archives)
{
    const std::string data = sampleBytes(70000);
    for (auto format : {ArchiveFormat::classic, ArchiveFormat::zip64}) {
        SCOPED_TRACE(format == ArchiveFormat::zip64 ? "zip64" : "classic");
        auto archive = open(buildArchive(
            {
                {.name = "dir/", .externalAttributes = directory},
                {.name = "dir/stored", .data = data},
                {.name = "dir/deflated", .data = data, .method = 8},
                {.name = "streamed", .data = data, .method = 8, .dataDescriptor = true},
                {.name = "unsigned", .data = "short", .dataDescriptor = true, .descriptorSignature = false},
                {.name = "link", .data = "../target", .method = 8, .externalAttributes = symbolicLink},
            },
            "the comment", format));
        ASSERT_TRUE(archive);
        EXPECT_EQ(archive->isZip64(), format == ArchiveFormat::zip64);
        EXPECT_EQ(archive->centralDirectory().entryCount, 6u);
        EXPECT_EQ(archive->comment(), "the comment");
        auto entries = archive->entries();
        ASSERT_EQ(entries.size(), 6u);
        EXPECT_EQ(entries[0].type(), EntryType::directory);
        EXPECT_EQ(contents(*archive, entries[0]), "");
        EXPECT_EQ(contents(*archive, entries[5]), "../target");
        for (size_t index : {1, 2, 3}) {
            EXPECT_EQ(entries[index].uncompressedSize(), data.size());
            EXPECT_EQ(contents(*archive, entries[index]), data) << entries[index].path();
        }
        EXPECT_EQ(contents(*archive, entries[4]), "short");
        EXPECT_LT(entries[2].compressedSize(), data.size());
        EXPECT_LT(entries[1].localHeaderOffset(), entries[2].localHeaderOffset());
        EXPECT_FALSE(entries[2].dataDescriptor());
        ASSERT_TRUE(entries[3].dataDescriptor());
        EXPECT_EQ(entries[3].dataDescriptor()->uncompressedSize, data.size());
        EXPECT_EQ(entries[3].dataDescriptor()->compressedSize, entries[3].compressedSize());
        ASSERT_TRUE(entries[4].dataDescriptor());
        EXPECT_EQ(entries[4].dataDescriptor()->uncompressedSize, 5u);
        EXPECT_EQ(entries[4].dataDescriptor()->compressedSize, 5u);
        int calls = 0;
        auto stopped = archive->read(entries[2], [&](std::span<const std::byte>) -> Result<void> {
            ++calls;
            return ArchiveError::make(Code::cancelledOperation);
        });
        EXPECT_TRUE(ArchiveError::is(stopped.error(), Code::cancelledOperation));
        EXPECT_EQ(calls, 1);
    }
}

// Names are UTF-8 when flagged or from Unix, else code page 437; type and
// permissions follow the host system that wrote the entry.
TEST_F(ReaderTest, TellsNameTypePermissionsAndDateByHostSystem)
{
    const time_t timestamp = 1700000001; // 2023-11-14 22:13:21 UTC, an odd second
    const std::string extendedTimestamp("UT\x05\x00\x01\x01\xF1\x53\x65", 9); // "UT", 5 bytes: flags, the time little-endian
    constexpr auto File = EntryType::file, Folder = EntryType::directory, Link = EntryType::symlink;
    struct Case {
        TestEntry entry;
        EntryType type;
        mode_t permissions = 0; // 0: not checked
        const char* path = nullptr; // nullptr: the entry's name
    };
    const std::string cafe = "caf\xC3\xA9";
    const Case cases[] = {
        {{.name = cafe, .host = 0, .flags = 0x0800}, File, 0, "café"},
        {{.name = cafe, .host = 0}, File, 0, "caf├⌐"},
        {{.name = "\x80\x9B\xE1", .host = 0}, File, 0, "Ç¢ß"},
        {{.name = "bad\xC3", .host = 0, .flags = 0x0800}, File, 0, ""},
        {{.name = cafe}, File, 0, "café"}, // Unix archivers write UTF-8 names without the flag.
        {{.name = "\x80\x9B", .host = 3}, File, 0, "Ç¢"},
        {{.name = "regular-with-slash/", .externalAttributes = regularFile}, File},
        {{.name = "unix-dir", .externalAttributes = directory}, Folder},
        {{.name = "unix-link", .externalAttributes = symbolicLink}, Link},
        {{.name = "unix-fifo", .externalAttributes = 010644u << 16}, File},
        {{.name = "script", .externalAttributes = 0100750u << 16}, File, 0750},
        {{.name = "no-mode", .externalAttributes = 0100000u << 16}, File, 0644},
        {{.name = "untyped/", .externalAttributes = 0}, Folder},
        {{.name = "untyped", .externalAttributes = 0}, File},
        {{.name = "osx-dir", .externalAttributes = directory, .host = 19}, Folder},
        {{.name = "dos-attribute", .externalAttributes = 0x10, .host = 0}, Folder, 0755},
        {{.name = "dos-attribute-readonly", .externalAttributes = 0x11, .host = 0}, Folder},
        {{.name = "dos-archive", .externalAttributes = 0x20, .host = 0}, File, 0644},
        {{.name = "dos-slash/", .externalAttributes = 0, .host = 0}, Folder},
        {{.name = "ntfs-slash/", .externalAttributes = 0x10, .host = 10}, Folder},
        {{.name = "ntfs-attribute", .externalAttributes = 0x10, .host = 10}, File},
        {{.name = "vfat/", .externalAttributes = 0, .host = 20}, Folder},
        {{.name = "stamped", .centralExtraField = extendedTimestamp}, File},
    };
    std::vector<TestEntry> entries;
    for (const auto& testCase : cases)
        entries.push_back(testCase.entry);
    auto archive = open(buildArchive(entries));
    ASSERT_TRUE(archive);
    auto read = archive->entries();
    ASSERT_EQ(read.size(), std::size(cases));
    for (size_t index = 0; index < read.size(); ++index) {
        SCOPED_TRACE(read[index].path());
        EXPECT_EQ(read[index].path(), cases[index].path ? cases[index].path : cases[index].entry.name);
        EXPECT_EQ(read[index].type(), cases[index].type);
        if (cases[index].permissions) {
            EXPECT_EQ(read[index].permissions(), cases[index].permissions);
        }
    }
    // MS-DOS date 0x5A86 / time 0x5A21: 2025-04-06 11:17:02, read as UTC.
    EXPECT_EQ(std::chrono::system_clock::to_time_t(read[0].modificationDate()), 1743938222);
    EXPECT_EQ(std::chrono::system_clock::to_time_t(read.back().modificationDate()), timestamp);
}

// An entry that cannot be read ends the walk with an error; the entries
// before it were seen, none after it.
TEST_F(ReaderTest, AnUnreadableOrOversizedEntryEndsTheWalkKeepingEarlierEntries)
{
    std::string nested;
    for (size_t depth = 0; depth < ArchiveLimits::maximumPathDepth; ++depth)
        nested += "d/";
    auto between = [](TestEntry entry) { return buildArchive({{.name = "first"}, std::move(entry), {.name = "last"}}); };
    std::string brokenSignature = buildArchive({{.name = "first"}, {.name = "second"}, {.name = "third"}});
    brokenSignature[brokenSignature.find("PK\x01\x02", brokenSignature.find("PK\x01\x02") + 1)] = 'X';
    std::string badOffset = buildArchive({{.name = "first"}, {.name = "second"}});
    badOffset[badOffset.size() - 22 - 6 - 1] = 0x7F; // the last local header offset's high byte
    std::string tooMany = buildArchive({{.name = "a"}, {.name = "b"}}, {}, ArchiveFormat::zip64);
    const size_t record = tooMany.size() - 22 - 20 - 56;
    tooMany = patched64(patched64(tooMany, record + 24, ArchiveLimits::maximumEntryCount + 1), record + 32, ArchiveLimits::maximumEntryCount + 1);
    struct Case {
        const char* what;
        std::string bytes;
        size_t seen; // entries walked, the first one first
        std::optional<Code> error; // none: the walk succeeds
        std::string errorPath = {};
    };
    const Case cases[] = {
        {"encrypted", between({.name = "secret", .flags = 0x0001}), 1, Code::unreadableArchive, "secret"},
        {"needs a newer version", between({.name = "secret", .versionNeeded = 46}), 1, Code::unreadableArchive, "secret"},
        {"marked size without ZIP64 field", between({.name = "marked", .recordedUncompressedSize = 0xFFFFFFFF}), 1, Code::unreadableArchive},
        {"marked size with a short ZIP64 field",
            between({.name = "marked", .centralExtraField = std::string("\x01\x00\x04\x00", 4) + "abcd", .recordedUncompressedSize = 0xFFFFFFFF}),
            1, Code::unreadableArchive},
        {"damaged directory record", brokenSignature, 1, Code::unreadableArchive},
        {"local header offset pointing nowhere", badOffset, 1, Code::unreadableArchive},
        {"path at the length limit", between({.name = std::string(ArchiveLimits::maximumPathLength, 'n')}), 3, {}},
        {"path beyond the length limit", between({.name = std::string(ArchiveLimits::maximumPathLength + 1, 'n')}), 1, Code::entryPathTooLong},
        {"path at the depth limit", between({.name = nested.substr(0, nested.size() - 1)}), 3, {}},
        {"path beyond the depth limit", between({.name = nested + "f"}), 1, Code::entryPathTooLong},
        {"empty components are no levels", between({.name = "a//////b"}), 3, {}},
        {"more entries listed than the limit", tooMany, 0, Code::tooManyEntries},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        auto archive = open(testCase.bytes);
        ASSERT_TRUE(archive);
        auto [seen, walked] = walk(*archive);
        ASSERT_EQ(seen.size(), testCase.seen);
        if (!seen.empty()) {
            EXPECT_EQ(seen.front(), "first");
        }
        if (!testCase.error) {
            EXPECT_TRUE(walked.ok()) << walked.error()->description();
            continue;
        }
        ASSERT_FALSE(walked);
        EXPECT_TRUE(ArchiveError::is(walked.error(), *testCase.error)) << walked.error()->description();
        if (!testCase.errorPath.empty()) {
            EXPECT_EQ(dynamic_cast<const ArchiveError&>(*walked.error()).path(), testCase.errorPath);
        }
    }
}

TEST_F(ReaderTest, EachWalkStartsAgainTheCallbackCanStopItAndEntriesCompareByPlace)
{
    auto archive = open(buildArchive({{.name = "a", .data = "1"}, {.name = "b"}, {.name = "a", .data = "1"}}));
    ASSERT_TRUE(archive);
    auto [stopped, walked] = walk(*archive, "b");
    EXPECT_TRUE(walked.ok());
    EXPECT_EQ(stopped, (std::vector<std::string> {"a", "b"}));
    EXPECT_EQ(walk(*archive).first, (std::vector<std::string> {"a", "b", "a"}));
    auto entries = archive->entries();
    EXPECT_EQ(entries[0], archive->entries()[0]);
    EXPECT_FALSE(entries[0] == entries[2]);
}
