#include "platform/folderevents/FolderEventReader.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <unistd.h>

using namespace tavik;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Counts the doorbell's rings, with a bounded wait for the next one.
class Rings {
public:
    void ring()
    {
        std::lock_guard lock(mutex_);
        ++count_;
        changed_.notify_all();
    }
    bool waitFor(int count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return count_ >= count; });
    }
    int count()
    {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

class FolderEventReaderTest : public ::testing::Test {
protected:
    tavik::testing::ScratchFolder scratch_ {"tavik-events"};
    const fs::path& folder_ = scratch_.path();
};

TEST_F(FolderEventReaderTest, OpeningFailsWithTheErrnoOfWhatIsNotAFolder)
{
    auto missing = FolderEventReader::open(folder_ / "absent");
    ASSERT_FALSE(missing);
    EXPECT_EQ(errnoOf(missing.error()), ENOENT);

    std::ofstream(folder_ / "file") << "x";
    auto file = FolderEventReader::open(folder_ / "file");
    ASSERT_FALSE(file);
    EXPECT_EQ(errnoOf(file.error()), ENOTDIR);
}

TEST_F(FolderEventReaderTest, ReportsEntryChangesInOrderAndRingsOnceUntilRearmed)
{
    auto reader = FolderEventReader::open(folder_);
    ASSERT_TRUE(reader) << reader.error()->description();
    Rings rings;
    (*reader)->start([&rings] { rings.ring(); });

    std::ofstream(folder_ / "Example.dmg") << "bytes";
    fs::rename(folder_ / "Example.dmg", folder_ / "Renamed.dmg");
    fs::create_directory(folder_ / "Folder");
    fs::remove(folder_ / "Renamed.dmg");
    ASSERT_TRUE(rings.waitFor(1));

    using Kind = FolderEvent::Kind;
    std::vector<std::tuple<Kind, std::string, bool>> expected {
        {Kind::created, "Example.dmg", false},
        {Kind::closedAfterWriting, "Example.dmg", false},
        {Kind::movedOut, "Example.dmg", false},
        {Kind::movedIn, "Renamed.dmg", false},
        {Kind::created, "Folder", true},
        {Kind::removed, "Renamed.dmg", false},
    };
    std::vector<std::tuple<Kind, std::string, bool>> seen;
    while (seen.size() < expected.size()) {
        for (const auto& event : (*reader)->readEvents())
            seen.emplace_back(event.kind, event.name, event.isDirectory);
        if (seen.size() < expected.size()) {
            (*reader)->rearm();
            ASSERT_TRUE(rings.waitFor(rings.count() + 1)) << seen.size() << " events so far";
        }
    }
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE((*reader)->readEvents().empty());

    // Events that came while it was not armed ring as soon as it is rearmed.
    int ringsBefore = rings.count();
    std::ofstream(folder_ / "later") << "x";
    (*reader)->rearm();
    ASSERT_TRUE(rings.waitFor(ringsBefore + 1));
    EXPECT_FALSE((*reader)->readEvents().empty());
}

TEST_F(FolderEventReaderTest, AReaderReleasedByItsOwnDoorbellStopsWithoutWaitingForItself)
{
    auto opened = FolderEventReader::open(folder_);
    ASSERT_TRUE(opened);
    std::mutex mutex;
    std::condition_variable released;
    std::unique_ptr<FolderEventReader> reader = std::move(*opened);
    bool done = false;
    reader->start([&] {
        std::lock_guard lock(mutex);
        reader.reset();
        done = true;
        released.notify_all();
    });
    std::ofstream(folder_ / "file") << "x";
    std::unique_lock lock(mutex);
    EXPECT_TRUE(released.wait_for(lock, 10s, [&] { return done; }));
    EXPECT_EQ(reader, nullptr);
}

} // namespace
