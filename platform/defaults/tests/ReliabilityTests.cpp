// The store file under real processes: writers killed mid-write, and two
// processes writing at the same time.
#include "platform/defaults/UserDefaults.hpp"
#include "platform/defaults/tests/TestSupport.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <random>

using namespace tavik;
using namespace tavik::defaults;
using namespace tavik::defaults::testing;
using plist::PropertyList;

namespace {

// Whether the value is one the writer program stores: {"counter" = i;
// "payload" = `payloadBytes` bytes of i % 256} with i >= 1.
::testing::AssertionResult isWrittenState(const PropertyList* value, size_t payloadBytes)
{
    if (!value)
        return ::testing::AssertionFailure() << "no value";
    auto counter = value->find("counter");
    auto payload = value->find("payload");
    if (!counter || !counter->integer() || *counter->integer() < 1 || !payload || !payload->data())
        return ::testing::AssertionFailure() << "not a written state: " << value->description().substr(0, 200);
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
    TemporaryFolder folder;
    auto file = folder.path() / "killed.plist";
    ASSERT_TRUE(UserDefaults::atPath(file)->set("untouched", PropertyList("kept")));

    constexpr size_t payloadBytes = 256 * 1024;
    std::mt19937 random(std::random_device {}());
    std::uniform_int_distribution<int> delayMicroseconds(0, 300000);
    int roundsWithState = 0;
    for (int round = 0; round < 25; ++round) {
        pid_t writer = startWriter({file.string(), "state", "0", std::to_string(payloadBytes)});
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
        ASSERT_EQ(::kill(writer, SIGKILL), 0);
        ASSERT_EQ(waitFor(writer), -SIGKILL);

        auto onDisk = PropertyList::readFile(file);
        ASSERT_TRUE(onDisk) << "round " << round << ": " << onDisk.error()->description();
        ASSERT_TRUE(onDisk->dictionary());
        EXPECT_EQ(onDisk->find("untouched"), &onDisk->dictionary()->at("untouched"));
        EXPECT_EQ(*onDisk->find("untouched")->string(), "kept");
        if (auto state = onDisk->find("state")) {
            EXPECT_TRUE(isWrittenState(state, payloadBytes)) << "round " << round;
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
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".killed.plist.tmp-")) << entry.path();
}

TEST(UserDefaultsReliability, TwoProcessesWritingDifferentKeysBothLand)
{
    TemporaryFolder folder;
    auto file = folder.path() / "shared.plist";
    constexpr int writes = 150;
    pid_t first = startWriter({file.string(), "first", std::to_string(writes), "64"});
    pid_t second = startWriter({file.string(), "second", std::to_string(writes), "64"});
    EXPECT_EQ(waitFor(first), 0);
    EXPECT_EQ(waitFor(second), 0);

    auto onDisk = PropertyList::readFile(file);
    ASSERT_TRUE(onDisk);
    for (const char* key : {"first", "second"}) {
        ASSERT_TRUE(isWrittenState(onDisk->find(key), 64)) << key;
        EXPECT_EQ(onDisk->find(key)->find("counter")->integer(), writes) << key;
    }
}
