#include "platform/folderevents/FolderEventReader.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

using namespace tavik;
using tavik::testing::eventually;
using tavik::testing::writeFile;
namespace fs = std::filesystem;

namespace {

class FolderEventReaderTest : public ::testing::Test {
protected:
    tavik::testing::ScratchFolder scratch_ {"tavik-events"};
    const fs::path& folder_ = scratch_.path();
};

} // namespace

TEST_F(FolderEventReaderTest, ReportsEntryChangesInOrderAndRingsOnceUntilRearmedAndOpensOnlyFolders)
{
    EXPECT_EQ(errnoOf(FolderEventReader::open(folder_ / "absent").error()), ENOENT);
    writeFile(folder_ / "file", "x");
    EXPECT_EQ(errnoOf(FolderEventReader::open(folder_ / "file").error()), ENOTDIR);

    auto reader = FolderEventReader::open(folder_);
    ASSERT_TRUE(reader) << reader.error()->description();
    std::atomic<int> rings {0};
    (*reader)->start([&rings] { ++rings; });

    writeFile(folder_ / "Example.dmg", "bytes");
    fs::rename(folder_ / "Example.dmg", folder_ / "Renamed.dmg");
    fs::create_directory(folder_ / "Folder");
    fs::remove(folder_ / "Renamed.dmg");
    ASSERT_TRUE(eventually([&] { return rings >= 1; }));

    using Kind = FolderEvent::Kind;
    std::vector<std::tuple<Kind, std::string, bool>> expected {{Kind::created, "Example.dmg", false}, {Kind::closedAfterWriting, "Example.dmg", false},
        {Kind::movedOut, "Example.dmg", false}, {Kind::movedIn, "Renamed.dmg", false}, {Kind::created, "Folder", true}, {Kind::removed, "Renamed.dmg", false}};
    std::vector<std::tuple<Kind, std::string, bool>> seen;
    while (seen.size() < expected.size()) {
        for (const auto& event : (*reader)->readEvents())
            seen.emplace_back(event.kind, event.name, event.isDirectory);
        if (seen.size() < expected.size()) {
            int ringsBefore = rings;
            (*reader)->rearm();
            ASSERT_TRUE(eventually([&] { return rings > ringsBefore; })) << seen.size() << " events so far";
        }
    }
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE((*reader)->readEvents().empty());

    // Events that came while it was not armed ring as soon as it is rearmed.
    int ringsBefore = rings;
    writeFile(folder_ / "later", "x");
    (*reader)->rearm();
    ASSERT_TRUE(eventually([&] { return rings > ringsBefore; }));
    EXPECT_FALSE((*reader)->readEvents().empty());
}

TEST_F(FolderEventReaderTest, AReaderReleasedByItsOwnDoorbellStopsWithoutWaitingForItself)
{
    auto opened = FolderEventReader::open(folder_);
    ASSERT_TRUE(opened);
    std::mutex mutex;
    std::unique_ptr<FolderEventReader> reader = std::move(*opened);
    std::atomic<bool> released {false};
    reader->start([&] {
        std::lock_guard lock(mutex);
        reader.reset();
        released = true;
    });
    writeFile(folder_ / "file", "x");
    EXPECT_TRUE(eventually([&] { return released.load(); }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(reader, nullptr);
}
