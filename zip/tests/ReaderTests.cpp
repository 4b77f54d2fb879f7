// Opening archives and walking their entries.
#include "zip/Archive.hpp"
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
    std::optional<Archive> open(const std::string& bytes) { return Archive::open(scratch.write("test.zip", bytes)); }
    ScratchFolder scratch;
};

} // namespace

TEST_F(ReaderTest, FindsTheEndRecordBehindACommentOrTrailingDataWithinTheLimit)
{
    std::string comment(100, 'c');
    auto withComment = open(buildArchive({ { .name = "a", .data = "1" } }, comment));
    ASSERT_TRUE(withComment);
    EXPECT_EQ(withComment->comment(), comment);
    EXPECT_EQ(paths(*withComment), std::vector<std::string> { "a" });

    // The record is searched for in the last 65,999 bytes: 65,977 bytes of
    // trailing data still leave it in reach, one byte more does not.
    std::string archive = buildArchive({ { .name = "a", .data = "1" } });
    EXPECT_TRUE(open(archive + std::string(65999 - 22, '\0')));
    EXPECT_FALSE(open(archive + std::string(65999 - 22 + 1, '\0')));
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
}

TEST_F(ReaderTest, AnEmptyArchiveOpensWithoutEntries)
{
    auto archive = open(buildArchive({}));
    ASSERT_TRUE(archive);
    EXPECT_TRUE(paths(*archive).empty());
    EXPECT_TRUE(archive->forEachEntry([](const Entry&) { return IterationDecision::continue_; }).ok());
}

TEST_F(ReaderTest, ReadsEntriesWithDataDescriptorsWithAndWithoutSignature)
{
    auto archive = open(buildArchive({
        { .name = "signed", .data = std::string(3000, 's'), .method = 8, .dataDescriptor = true },
        { .name = "unsigned", .data = "plain stored bytes", .dataDescriptor = true, .descriptorSignature = false },
        { .name = "after", .data = "last" },
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
        { .name = bytes, .host = 0, .flags = 0x0800 },
        { .name = bytes, .host = 0 },
        { .name = "\x80\x9B\xE1", .host = 0 },
        { .name = "bad\xC3", .host = 0, .flags = 0x0800 },
        // Unix archivers write UTF-8 names without the flag.
        { .name = bytes },
        { .name = "\x80\x9B", .host = 3 },
    }));
    ASSERT_TRUE(archive);
    EXPECT_EQ(paths(*archive),
        (std::vector<std::string> { "café", "caf├⌐", "Ç¢ß", "", "café", "Ç¢" }));
}

TEST_F(ReaderTest, DecidesTheTypeByHostSystem)
{
    auto archive = open(buildArchive({
        { .name = "regular-with-slash/", .externalAttributes = regularFile },
        { .name = "unix-dir", .externalAttributes = directory },
        { .name = "unix-link", .externalAttributes = symbolicLink },
        { .name = "unix-fifo", .externalAttributes = 010644u << 16 },
        { .name = "untyped/", .externalAttributes = 0 },
        { .name = "untyped", .externalAttributes = 0 },
        { .name = "osx-dir", .externalAttributes = directory, .host = 19 },
        { .name = "dos-attribute", .externalAttributes = 0x10, .host = 0 },
        { .name = "dos-attribute-readonly", .externalAttributes = 0x11, .host = 0 },
        { .name = "dos-archive", .externalAttributes = 0x20, .host = 0 },
        { .name = "dos-slash/", .externalAttributes = 0, .host = 0 },
        { .name = "ntfs-slash/", .externalAttributes = 0x10, .host = 10 },
        { .name = "ntfs-attribute", .externalAttributes = 0x10, .host = 10 },
        { .name = "vfat/", .externalAttributes = 0, .host = 20 },
    }));
    ASSERT_TRUE(archive);
    std::vector<EntryType> types;
    for (const Entry& entry : *archive)
        types.push_back(entry.type());
    using enum EntryType;
    EXPECT_EQ(types,
        (std::vector<EntryType> { file, directory, symlink, file, directory, file, directory, directory, directory, file,
            directory, directory, file, directory }));
}

TEST_F(ReaderTest, TellsPermissionsAndModificationDate)
{
    uint32_t timestamp = 1700000001; // 2023-11-14 22:13:21 UTC, an odd second
    std::string extendedTimestamp = { 0x55, 0x54, 5, 0, 1 };
    for (int shift = 0; shift < 32; shift += 8)
        extendedTimestamp += static_cast<char>((timestamp >> shift) & 0xFF);
    auto archive = open(buildArchive({
        { .name = "script", .externalAttributes = 0100750u << 16 },
        { .name = "no-mode", .externalAttributes = 0100000u << 16 },
        { .name = "dos-file", .externalAttributes = 0x20, .host = 0 },
        { .name = "dos-dir/", .externalAttributes = 0x10, .host = 0 },
        { .name = "stamped", .centralExtraField = extendedTimestamp },
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
    for (auto refused : { TestEntry { .name = "secret", .flags = 0x0001 }, TestEntry { .name = "secret", .versionNeeded = 45 } }) {
        auto archive = open(buildArchive({ { .name = "before" }, refused, { .name = "after" } }));
        ASSERT_TRUE(archive);
        EXPECT_EQ(paths(*archive), std::vector<std::string> { "before" });
        auto walked = archive->forEachEntry([](const Entry&) { return IterationDecision::continue_; });
        ASSERT_FALSE(walked);
        EXPECT_TRUE(ArchiveError::is(walked.error(), ArchiveError::Code::unreadableArchive));
        EXPECT_EQ(dynamic_cast<const ArchiveError&>(*walked.error()).path(), "secret");
    }
}

TEST_F(ReaderTest, ADamagedDirectoryEndsTheWalkKeepingEarlierEntries)
{
    std::string bytes = buildArchive({ { .name = "first" }, { .name = "second" }, { .name = "third" } });
    // Break the second central directory record's signature.
    size_t second = bytes.find(std::string("\x50\x4b\x01\x02", 4), bytes.find(std::string("\x50\x4b\x01\x02", 4)) + 1);
    bytes[second] = 'X';
    auto archive = open(bytes);
    ASSERT_TRUE(archive);
    EXPECT_EQ(paths(*archive), std::vector<std::string> { "first" });
    EXPECT_FALSE(archive->forEachEntry([](const Entry&) { return IterationDecision::continue_; }));

    // A local header offset pointing nowhere ends it as well.
    std::string badOffset = buildArchive({ { .name = "only" } });
    badOffset[badOffset.size() - 22 - 4 - 1] = 0x7F; // relativeOffsetOfLocalHeader's high byte
    auto damaged = open(badOffset);
    ASSERT_TRUE(damaged);
    EXPECT_TRUE(paths(*damaged).empty());
}

TEST_F(ReaderTest, EachWalkStartsAgainAndTheCallbackCanStopIt)
{
    auto archive = open(buildArchive({ { .name = "a" }, { .name = "b" }, { .name = "c" } }));
    ASSERT_TRUE(archive);
    EXPECT_EQ(paths(*archive), (std::vector<std::string> { "a", "b", "c" }));
    EXPECT_EQ(paths(*archive), (std::vector<std::string> { "a", "b", "c" }));
    std::vector<std::string> seen;
    auto walked = archive->forEachEntry([&](const Entry& entry) {
        seen.push_back(entry.path());
        return entry.path() == "b" ? IterationDecision::stop : IterationDecision::continue_;
    });
    EXPECT_TRUE(walked.ok());
    EXPECT_EQ(seen, (std::vector<std::string> { "a", "b" }));
}

TEST_F(ReaderTest, EntriesAreEqualByPathChecksumAndOffset)
{
    auto archive = open(buildArchive({ { .name = "same", .data = "1" }, { .name = "same", .data = "1" } }));
    ASSERT_TRUE(archive);
    auto first = archive->entries();
    auto again = archive->entries();
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0], again[0]);
    EXPECT_FALSE(first[0] == first[1]);
}
