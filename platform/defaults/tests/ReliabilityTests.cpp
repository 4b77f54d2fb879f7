// The store file under real processes: writers killed mid-write, and two
// processes writing at the same time.
#include "platform/defaults/UserDefaults.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/Programs.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <random>
#include <thread>

using namespace tavik;
using namespace tavik::testing;
using defaults::UserDefaults;
using plist::PropertyList;

namespace {

// Another process storing {"counter" = i; "payload" = `payloadBytes` bytes of
// i % 256} under the key for i = 1...count (forever when count is 0).
pid_t startWriter(const std::filesystem::path& file, const std::string& key, int count, size_t payloadBytes)
{
    return start({TAVIK_DEFAULTS_WRITER, file.string(), key, std::to_string(count), std::to_string(payloadBytes)});
}

// Whether the value is one such a writer stores, with i >= 1.
::testing::AssertionResult isWrittenState(const PropertyList* value, size_t payloadBytes)
{
    auto counter = value ? value->find("counter") : nullptr;
    auto payload = value ? value->find("payload") : nullptr;
    if (!counter || !counter->integer() || *counter->integer() < 1 || !payload || !payload->data())
        return ::testing::AssertionFailure() << "not a written state: " << (value ? value->description().substr(0, 200) : "none");
    if (payload->data()->size() != payloadBytes)
        return ::testing::AssertionFailure() << "payload of " << payload->data()->size() << " bytes";
    for (uint8_t byte : *payload->data())
        if (byte != uint8_t(*counter->integer() % 256))
            return ::testing::AssertionFailure() << "payload does not match counter " << *counter->integer();
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(UserDefaultsReliability, AWriterKilledAtRandomMomentsNeverLeavesABrokenFile)
{
    ScratchFolder folder("tavik-defaults");
    auto file = folder / "killed.plist";
    ASSERT_TRUE(UserDefaults::atPath(file)->set("untouched", PropertyList("kept")));

    constexpr size_t payloadBytes = 256 * 1024;
    std::mt19937 random(std::random_device {}());
    std::uniform_int_distribution<int> delayMicroseconds(0, 300000);
    int roundsWithState = 0;
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE(round);
        pid_t writer = startWriter(file, "state", 0, payloadBytes);
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
        ASSERT_EQ(::kill(writer, SIGKILL), 0);
        ASSERT_EQ(waitFor(writer), -SIGKILL);

        auto onDisk = PropertyList::readFile(file);
        ASSERT_TRUE(onDisk) << onDisk.error()->description();
        ASSERT_TRUE(onDisk->find("untouched"));
        EXPECT_EQ(*onDisk->find("untouched")->string(), "kept");
        if (auto state = onDisk->find("state")) {
            EXPECT_TRUE(isWrittenState(state, payloadBytes));
            ++roundsWithState;
        }
    }
    // Kills land before the first write too, but not in every round.
    EXPECT_GT(roundsWithState, 0);

    // A store opened afterwards reads the file and removes what killed
    // writers left behind on its first write.
    auto defaults = UserDefaults::atPath(file);
    ASSERT_TRUE(defaults->set("after", PropertyList(1)));
    EXPECT_EQ(defaults->object("untouched"), PropertyList("kept"));
    for (const auto& name : namesIn(folder.path()))
        EXPECT_FALSE(name.starts_with(".killed.plist.tmp-")) << name;
}

TEST(UserDefaultsReliability, TwoProcessesWritingDifferentKeysBothLand)
{
    ScratchFolder folder("tavik-defaults");
    auto file = folder / "shared.plist";
    constexpr int writes = 150;
    pid_t first = startWriter(file, "first", writes, 64);
    pid_t second = startWriter(file, "second", writes, 64);
    EXPECT_EQ(waitFor(first), 0);
    EXPECT_EQ(waitFor(second), 0);

    auto onDisk = PropertyList::readFile(file);
    ASSERT_TRUE(onDisk);
    for (const char* key : {"first", "second"}) {
        ASSERT_TRUE(isWrittenState(onDisk->find(key), 64)) << key;
        EXPECT_EQ(onDisk->find(key)->find("counter")->integer(), writes) << key;
    }
}
