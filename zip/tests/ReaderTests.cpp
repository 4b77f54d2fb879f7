// Opening archives and walking their entries.
#include "platform/foundation/FileError.hpp"
#include "zip/Archive.hpp"
#include "zip/Limits.hpp"
#include "zip/tests/ZipTestSupport.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::zip;
using namespace tavik::zip::testing;

namespace {

std::vector<std::string> paths(Archive& archive)
{
    std::vector<std::string> result;
    for (const Entry& entry : archive)
        result.push_back(entry.path());
    return result;
}

std::string contents(Archive& archive, const Entry& entry)
{
    std::string data;
    auto done = archive.read(entry, [&](std::span<const std::byte> chunk) -> Result<void> {
        data.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
        return {};
    });
    EXPECT_TRUE(done.ok()) << (done ? "" : done.error()->description());
    return data;
}

class ReaderTest : public ::testing::Test {
protected:
    Result<Archive> open(const std::string& bytes) { return Archive::open(scratch.write("test.zip", bytes)); }
    ScratchFolder scratch;
};

} // namespace

TEST_F(ReaderTest, FindsTheEndRecordAloneOrBehindACommentOrTrailingDataWithinTheLimit)
{
    std::string comment(100, 'c');
    auto withComment = open(buildArchive({{.name = "a", .data = "1"}}, comment));
    ASSERT_TRUE(withComment);
    EXPECT_EQ(withComment->comment(), comment);
    EXPECT_EQ(paths(*withComment), std::vector<std::string> {"a"});

    // The record is searched for in the last 65,999 bytes: 65,977 bytes of
    // trailing data still leave it in reach, one byte more does not.
    std::string archive = buildArchive({{.name = "a", .data = "1"}});
    EXPECT_TRUE(open(archive + std::string(65999 - 22, '\0')));
    EXPECT_FALSE(open(archive + std::string(65999 - 22 + 1, '\0')));

    // An end record alone is an empty archive.
    auto empty = open(buildArchive({}));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(paths(*empty).empty());
    EXPECT_TRUE(empty->forEachEntry([](const Entry&) { return IterationDecision::continue_; }).ok());
}

TEST_F(ReaderTest, DoesNotOpenWhatIsNoArchive)
{
    EXPECT_FALSE(Archive::open(scratch.url("missing.zip")));
    EXPECT_FALSE(open(""));
    EXPECT_FALSE(open(std::string(21, 'x')));
    EXPECT_FALSE(open(std::string(5000, 'x')));
    // A comment longer than what follows the record.
    std::string archive = buildArchive({}, "comment");
    EXPECT_FALSE(open(archive.substr(0, archive.size() - 1)));

    // The error says which: no file, no end record, or a damaged one.
    auto missing = Archive::open(scratch.url("missing.zip"));
    ASSERT_FALSE(missing);
    EXPECT_TRUE(isFileError(missing.error(), FileError::Code::fileReadNoSuchFile)) << missing.error()->description();
    for (const std::string& bytes : {std::string(21, 'x'), std::string(5000, 'x')}) {
        auto opened = open(bytes);
        ASSERT_FALSE(opened);
        EXPECT_TRUE(ArchiveError::is(opened.error(), ArchiveError::Code::missingEndOfCentralDirectoryRecord));
    }
    auto damaged = open(archive.substr(0, archive.size() - 1));
    ASSERT_FALSE(damaged);
    EXPECT_TRUE(ArchiveError::is(damaged.error(), ArchiveError::Code::unreadableArchive));
}

TEST_F(ReaderTest, ReadsEntriesWithDataDescriptorsWithAndWithoutSignature)
{
    auto archive = open(buildArchive({
        {.name = "signed", .data = std::string(3000, 's'), .method = 8, .dataDescriptor = true},
        {.name = "unsigned", .data = "plain stored bytes", .dataDescriptor = true, .descriptorSignature = false},
        {.name = "after", .data = "last"},
    }));
    ASSERT_TRUE(archive);
    auto entries = archive->entries();
    ASSERT_EQ(entries.size(), 3u);
    ASSERT_TRUE(entries[0].dataDescriptor());
    EXPECT_EQ(entries[0].dataDescriptor()->uncompressedSize, 3000u);
    ASSERT_TRUE(entries[1].dataDescriptor());
    EXPECT_EQ(entries[1].dataDescriptor()->uncompressedSize, 18u);
    EXPECT_EQ(entries[1].dataDescriptor()->compressedSize, 18u);
    EXPECT_FALSE(entries[2].dataDescriptor());
    EXPECT_EQ(contents(*archive, entries[0]), std::string(3000, 's'));
    EXPECT_EQ(contents(*archive, entries[1]), "plain stored bytes");
    EXPECT_EQ(contents(*archive, entries[2]), "last");
}

TEST_F(ReaderTest, DecodesNamesAsUTF8OrCodePage437)
{
    std::string bytes = "caf\xC3\xA9";
    auto archive = open(buildArchive({
        {.name = bytes, .host = 0, .flags = 0x0800},
        {.name = bytes, .host = 0},
        {.name = "\x80\x9B\xE1", .host = 0},
        {.name = "bad\xC3", .host = 0, .flags = 0x0800},
        // Unix archivers write UTF-8 names without the flag.
        {.name = bytes},
        {.name = "\x80\x9B", .host = 3},
    }));
    ASSERT_TRUE(archive);
    EXPECT_EQ(paths(*archive),
        (std::vector<std::string> {"café", "caf├⌐", "Ç¢ß", "", "café", "Ç¢"}));
}

TEST_F(ReaderTest, DecidesTheTypeByHostSystem)
{
    auto archive = open(buildArchive({
        {.name = "regular-with-slash/", .externalAttributes = regularFile},
        {.name = "unix-dir", .externalAttributes = directory},
        {.name = "unix-link", .externalAttributes = symbolicLink},
        {.name = "unix-fifo", .externalAttributes = 010644u << 16},
        {.name = "untyped/", .externalAttributes = 0},
        {.name = "untyped", .externalAttributes = 0},
        {.name = "osx-dir", .externalAttributes = directory, .host = 19},
        {.name = "dos-attribute", .externalAttributes = 0x10, .host = 0},
        {.name = "dos-attribute-readonly", .externalAttributes = 0x11, .host = 0},
        {.name = "dos-archive", .externalAttributes = 0x20, .host = 0},
        {.name = "dos-slash/", .externalAttributes = 0, .host = 0},
        {.name = "ntfs-slash/", .externalAttributes = 0x10, .host = 10},
        {.name = "ntfs-attribute", .externalAttributes = 0x10, .host = 10},
        {.name = "vfat/", .externalAttributes = 0, .host = 20},
    }));
    ASSERT_TRUE(archive);
    std::vector<EntryType> types;
    for (const Entry& entry : *archive)
        types.push_back(entry.type());
    using enum EntryType;
    EXPECT_EQ(types,
        (std::vector<EntryType> {file, directory, symlink, file, directory, file, directory, directory, directory, file,
            directory, directory, file, directory}));
}

TEST_F(ReaderTest, TellsPermissionsAndModificationDate)
{
    uint32_t timestamp = 1700000001; // 2023-11-14 22:13:21 UTC, an odd second
    std::string extendedTimestamp = {0x55, 0x54, 5, 0, 1};
    for (int shift = 0; shift < 32; shift += 8)
        extendedTimestamp += static_cast<char>((timestamp >> shift) & 0xFF);
    auto archive = open(buildArchive({
        {.name = "script", .externalAttributes = 0100750u << 16},
        {.name = "no-mode", .externalAttributes = 0100000u << 16},
        {.name = "dos-file", .externalAttributes = 0x20, .host = 0},
        {.name = "dos-dir/", .externalAttributes = 0x10, .host = 0},
        {.name = "stamped", .centralExtraField = extendedTimestamp},
    }));
    ASSERT_TRUE(archive);
    auto entries = archive->entries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].permissions(), 0750u);
    EXPECT_EQ(entries[1].permissions(), 0644u);
    EXPECT_EQ(entries[2].permissions(), 0644u);
    EXPECT_EQ(entries[3].permissions(), 0755u);
    // MS-DOS date 0x5A86 / time 0x5A21: 2025-04-06 11:17:02, read as UTC.
    EXPECT_EQ(std::chrono::system_clock::to_time_t(entries[0].modificationDate()), 1743938222);
    EXPECT_EQ(std::chrono::system_clock::to_time_t(entries[4].modificationDate()), timestamp);
}

TEST_F(ReaderTest, AnEntryThatCannotBeReadEndsTheWalk)
{
    for (auto refused : {TestEntry {.name = "secret", .flags = 0x0001}, TestEntry {.name = "secret", .versionNeeded = 46}}) {
        auto archive = open(buildArchive({{.name = "before"}, refused, {.name = "after"}}));
        ASSERT_TRUE(archive);
        EXPECT_EQ(paths(*archive), std::vector<std::string> {"before"});
        auto walked = archive->forEachEntry([](const Entry&) { return IterationDecision::continue_; });
        ASSERT_FALSE(walked);
        EXPECT_TRUE(ArchiveError::is(walked.error(), ArchiveError::Code::unreadableArchive));
        EXPECT_EQ(dynamic_cast<const ArchiveError&>(*walked.error()).path(), "secret");
    }
}

TEST_F(ReaderTest, ADamagedDirectoryEndsTheWalkKeepingEarlierEntries)
{
    std::string bytes = buildArchive({{.name = "first"}, {.name = "second"}, {.name = "third"}});
    // Break the second central directory record's signature.
    size_t second = bytes.find(std::string("\x50\x4b\x01\x02", 4), bytes.find(std::string("\x50\x4b\x01\x02", 4)) + 1);
    bytes[second] = 'X';
    auto archive = open(bytes);
    ASSERT_TRUE(archive);
    EXPECT_EQ(paths(*archive), std::vector<std::string> {"first"});
    EXPECT_FALSE(archive->forEachEntry([](const Entry&) { return IterationDecision::continue_; }));

    // A local header offset pointing nowhere ends it as well.
    std::string badOffset = buildArchive({{.name = "only"}});
    badOffset[badOffset.size() - 22 - 4 - 1] = 0x7F; // relativeOffsetOfLocalHeader's high byte
    auto damaged = open(badOffset);
    ASSERT_TRUE(damaged);
    EXPECT_TRUE(paths(*damaged).empty());
}

TEST_F(ReaderTest, EachWalkStartsAgainAndTheCallbackCanStopIt)
{
    auto archive = open(buildArchive({{.name = "a"}, {.name = "b"}, {.name = "c"}}));
    ASSERT_TRUE(archive);
    EXPECT_EQ(paths(*archive), (std::vector<std::string> {"a", "b", "c"}));
    EXPECT_EQ(paths(*archive), (std::vector<std::string> {"a", "b", "c"}));
    std::vector<std::string> seen;
    auto walked = archive->forEachEntry([&](const Entry& entry) {
        seen.push_back(entry.path());
        return entry.path() == "b" ? IterationDecision::stop : IterationDecision::continue_;
    });
    EXPECT_TRUE(walked.ok());
    EXPECT_EQ(seen, (std::vector<std::string> {"a", "b"}));
}

TEST_F(ReaderTest, EntriesAreEqualByPathChecksumAndOffset)
{
    auto archive = open(buildArchive({{.name = "same", .data = "1"}, {.name = "same", .data = "1"}}));
    ASSERT_TRUE(archive);
    auto first = archive->entries();
    auto again = archive->entries();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0], again[0]);
    EXPECT_FALSE(first[0] == first[1]);
}

TEST_F(ReaderTest, ReadsZip64EndRecordsAndExtraFields)
{
    std::string data(70000, '\0');
    for (size_t index = 0; index < data.size(); ++index)
        data[index] = static_cast<char>((index * 7919) >> 3);
    auto archive = open(buildArchive(
        {
            {.name = "dir/", .externalAttributes = directory},
            {.name = "dir/stored", .data = data},
            {.name = "dir/deflated", .data = data, .method = 8},
            {.name = "streamed", .data = data, .method = 8, .dataDescriptor = true},
            {.name = "unsigned", .data = "short", .dataDescriptor = true, .descriptorSignature = false},
        },
        "sixty-four", ArchiveFormat::zip64));
    ASSERT_TRUE(archive);
    EXPECT_TRUE(archive->isZip64());
    EXPECT_EQ(archive->centralDirectory().entryCount, 5u);
    EXPECT_EQ(archive->comment(), "sixty-four");
    auto entries = archive->entries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(paths(*archive), (std::vector<std::string> {"dir/", "dir/stored", "dir/deflated", "streamed", "unsigned"}));
    EXPECT_EQ(entries[0].type(), EntryType::directory);
    for (size_t index : {1, 2, 3}) {
        EXPECT_EQ(entries[index].uncompressedSize(), data.size());
        EXPECT_EQ(contents(*archive, entries[index]), data) << entries[index].path();
    }
    EXPECT_EQ(contents(*archive, entries[4]), "short");
    EXPECT_LT(entries[2].compressedSize(), data.size());
    // The entries' data offsets come from the extra fields, so they differ.
    EXPECT_LT(entries[1].localHeaderOffset(), entries[2].localHeaderOffset());
    // Descriptors of ZIP64 entries carry 8-byte sizes, with or without signature.
    ASSERT_TRUE(entries[3].dataDescriptor());
    EXPECT_EQ(entries[3].dataDescriptor()->uncompressedSize, data.size());
    EXPECT_EQ(entries[3].dataDescriptor()->compressedSize, entries[3].compressedSize());
    ASSERT_TRUE(entries[4].dataDescriptor());
    EXPECT_EQ(entries[4].dataDescriptor()->uncompressedSize, 5u);
}

TEST_F(ReaderTest, DamagedZip64RecordsAndArchivesOnSeveralDisksDoNotOpen)
{
    const std::string zip64 = buildArchive({{.name = "a", .data = "1"}, {.name = "b", .data = "22"}}, {}, ArchiveFormat::zip64);
    const std::string classic = buildArchive({{.name = "a", .data = "1"}});
    // Offsets from the end: end record 22 bytes, locator 20, 64-bit end record 56.
    const size_t end = zip64.size() - 22, locator = end - 20, record = locator - 56;
    auto patched = [](std::string bytes, size_t at, std::string with) { return bytes.replace(at, with.size(), with); };
    auto patched64 = [](std::string bytes, size_t at, uint64_t value) {
        for (size_t byte = 0; byte < 8; ++byte)
            bytes[at + byte] = static_cast<char>(value >> (8 * byte));
        return bytes;
    };
    struct Case {
        const char* what;
        std::string bytes;
    };
    const Case cases[] = {
        {"locator points past the file", patched64(zip64, locator + 8, uint64_t {1} << 40)},
        {"record would overlap the locator", patched64(zip64, locator + 8, record + 1)},
        {"64-bit end record without its signature", patched(zip64, record, "XXXX")},
        {"64-bit end record of another disk", patched(zip64, record + 16, "\x01")},
        {"entries on this disk are not all entries", patched(zip64, record + 24, "\x01")},
        {"central directory runs into the end record", patched64(zip64, record + 40, record + 1)},
        {"central directory beyond the file", patched64(zip64, record + 48, uint64_t {1} << 40)},
        {"locator counts two disks", patched(zip64, locator + 16, "\x02")},
        {"classic end record of the second disk", patched(classic, classic.size() - 22 + 4, "\x01")},
        {"classic directory starting on another disk", patched(classic, classic.size() - 22 + 6, "\x01")},
    };
    ASSERT_TRUE(open(zip64));
    ASSERT_TRUE(open(classic));
    for (const auto& [what, bytes] : cases)
        EXPECT_FALSE(open(bytes)) << what;
}

TEST_F(ReaderTest, AMarkedSizeWithoutItsZip64ValueEndsTheWalk)
{
    const std::string tooShort = std::string("\x01\x00\x04\x00", 4) + "abcd";
    for (const auto& extraField : {std::string(), tooShort}) {
        auto archive = open(buildArchive({
            {.name = "fine", .data = "1"},
            {.name = "marked", .data = "2", .centralExtraField = extraField, .recordedUncompressedSize = 0xFFFFFFFF},
        }));
        ASSERT_TRUE(archive);
        EXPECT_EQ(paths(*archive), std::vector<std::string> {"fine"});
        auto walked = archive->forEachEntry([](const Entry&) { return IterationDecision::continue_; });
        ASSERT_FALSE(walked);
        EXPECT_TRUE(ArchiveError::is(walked.error(), ArchiveError::Code::unreadableArchive));
    }
}

TEST_F(ReaderTest, ArchivesBeyondTheLimitsAreRefused)
{
    auto walk = [](Archive& archive, std::vector<std::string>& seen) {
        return archive.forEachEntry([&](const Entry& entry) {
            seen.push_back(entry.path());
            return IterationDecision::continue_;
        });
    };
    std::string nested;
    for (size_t depth = 0; depth < ArchiveLimits::maximumPathDepth; ++depth)
        nested += "d/";
    struct Case {
        std::string path;
        bool refused;
    };
    const Case cases[] = {
        {std::string(ArchiveLimits::maximumPathLength, 'n'), false},
        {std::string(ArchiveLimits::maximumPathLength + 1, 'n'), true},
        {nested.substr(0, nested.size() - 1), false},
        {nested + "f", true},
        // Empty components do not count as levels.
        {"a//////b", false},
    };
    for (const auto& [path, refused] : cases) {
        SCOPED_TRACE(path.substr(0, 40));
        auto archive = open(buildArchive({{.name = "first"}, {.name = path}, {.name = "last"}}));
        ASSERT_TRUE(archive);
        std::vector<std::string> seen;
        auto walked = walk(*archive, seen);
        if (!refused) {
            EXPECT_TRUE(walked.ok());
            EXPECT_EQ(seen.size(), 3u);
            continue;
        }
        EXPECT_EQ(seen, std::vector<std::string> {"first"});
        ASSERT_FALSE(walked);
        EXPECT_TRUE(ArchiveError::is(walked.error(), ArchiveError::Code::entryPathTooLong));
    }

    // An archive that lists more entries than the limit yields none of them.
    std::string bytes = buildArchive({{.name = "a"}, {.name = "b"}}, {}, ArchiveFormat::zip64);
    size_t record = bytes.size() - 22 - 20 - 56;
    uint64_t count = ArchiveLimits::maximumEntryCount + 1;
    for (size_t field : {record + 24, record + 32})
        for (size_t byte = 0; byte < 8; ++byte)
            bytes[field + byte] = static_cast<char>(count >> (8 * byte));
    auto archive = open(bytes);
    ASSERT_TRUE(archive);
    std::vector<std::string> seen;
    auto walked = walk(*archive, seen);
    EXPECT_TRUE(seen.empty());
    ASSERT_FALSE(walked);
    EXPECT_TRUE(ArchiveError::is(walked.error(), ArchiveError::Code::tooManyEntries));
}
