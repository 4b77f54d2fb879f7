#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/MainRunLoop.hpp"
#include "platform/dispatch/QueueAssertion.hpp"
#include "platform/testing/Recorder.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <map>
#include <numeric>
#include <thread>
#include <vector>

using namespace tavik::dispatch;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Whether `count` items put on the queue (one of them as a barrier, when
// asked) all run at once: each waits until every one has started.
bool runSideBySide(const QueuePtr& queue, int count, bool oneAsBarrier)
{
    auto allStarted = std::make_shared<std::latch>(count);
    DispatchGroup group;
    for (int i = 0; i < count; ++i) {
        group.enter();
        auto work = [allStarted, group] {
            allStarted->arrive_and_wait(); // deadlocks unless all run at once
            group.leave();
        };
        (oneAsBarrier && i == count / 2) ? queue->asyncBarrier(work) : queue->async(work);
    }
    return group.waitFor(30s);
}

} // namespace

// Concurrent queues run blocking items side by side; the global queue grows
// threads for them and ignores barriers.
TEST(DispatchQueueTest, ConcurrentQueuesRunItemsSideBySideAndABarrierWaitsForEarlierItemsAndRunsAlone)
{
    EXPECT_TRUE(runSideBySide(DispatchQueue::makeConcurrent("test.concurrent"), 2, false));
    EXPECT_TRUE(runSideBySide(DispatchQueue::global(), 64, true));
    auto queue = DispatchQueue::makeConcurrent("test.barrier");
    tavik::testing::Recorder<std::string> events;
    std::atomic<int> readersInside {0};
    std::atomic<bool> barrierSawReader {false};
    for (int i = 0; i < 8; ++i) {
        queue->async([&] {
            readersInside++;
            std::this_thread::sleep_for(5ms);
            events.add("before");
            readersInside--;
        });
    }
    queue->asyncBarrier([&] {
        barrierSawReader = readersInside != 0;
        events.add("barrier");
    });
    for (int i = 0; i < 8; ++i)
        queue->async([&] { events.add("after"); });
    auto fromSyncBarrier = queue->syncBarrier([&] { return events.all().size(); });

    EXPECT_FALSE(barrierSawReader);
    EXPECT_EQ(fromSyncBarrier, 17u);
    std::vector<std::string> expected(8, "before");
    expected.push_back("barrier");
    expected.insert(expected.end(), 8, "after");
    EXPECT_EQ(events.all(), expected);
}

// A serial queue runs items one at a time in order; work knows the queue it runs on; syncs that can
// start at once are allowed from inside the queue.
TEST(DispatchQueueTest, SerialQueueRunsItemsInOrderSyncReturnsTheValueAndPassesExceptionsOnAndWorkKnowsItsQueue)
{
    auto serial = DispatchQueue::makeSerial("test.assert.serial");
    std::vector<int> order, expected(200);
    std::iota(expected.begin(), expected.end(), 0);
    std::atomic<int> inside {0}, overlaps {0};
    for (int i : expected)
        serial->async([&, i] {
            overlaps += inside++;
            order.push_back(i);
            --inside;
        });
    auto concurrent = DispatchQueue::makeConcurrent("test.assert.concurrent");
    EXPECT_FALSE(serial->isCurrent());
    EXPECT_TRUE(serial->sync([&] {
        EXPECT_EQ(order, expected);
        EXPECT_EQ(overlaps, 0);
        TAVIK_ASSERT_ON_QUEUE(serial);
        return serial->isCurrent();
    }));
    concurrent->syncBarrier([&] { assertCurrent(*concurrent); });
    std::atomic<int> current {0};
    DispatchGroup group;
    for (const auto& queue : {serial, concurrent, DispatchQueue::global()}) {
        group.enter();
        queue->async([&, queue] {
            assertCurrent(*queue);
            current += queue->isCurrent();
            group.leave();
        });
    }
    EXPECT_TRUE(group.waitFor(10s));
    EXPECT_EQ(current, 3);
    concurrent->sync([&] { concurrent->sync([&] { assertCurrent(*concurrent); }); });
    DispatchQueue::global()->sync([] { DispatchQueue::global()->syncBarrier([] {}); });
    EXPECT_THROW(serial->sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    EXPECT_EQ(serial->sync([] { return 7; }), 7) << "the queue stays usable";
}

// Code off its queue, a sync that would wait for its own caller (directly,
// from an async item, or through another queue) and an unbalanced group stop
// the program with a message instead of running on or hanging.
TEST(DispatchQueueDeathTest, MisuseStopsTheProgramWithAMessage)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto owner = DispatchQueue::makeSerial("test.owner");
    auto other = DispatchQueue::makeSerial("test.other");
    EXPECT_DEATH(assertCurrent(*owner), "Expected to run on queue 'test.owner', but running outside any queue");
    EXPECT_DEATH(other->sync([&] { assertCurrent(*owner); }), "but running on queue 'test.other'");
    EXPECT_DEATH(DispatchQueue::global()->sync([&] { assertCurrent(*owner); }), "on queue 'global.default'");
#ifndef NDEBUG
    EXPECT_DEATH(TAVIK_ASSERT_ON_QUEUE(owner), "test.owner");
#endif

    auto concurrent = DispatchQueue::makeConcurrent("test.selfBarrier");
    const char* message = "would wait forever";
    EXPECT_DEATH(owner->sync([&] { owner->sync([] {}); }), "sync onto queue 'test.owner'");
    EXPECT_DEATH(
        {
            std::promise<void> never;
            owner->async([&] { owner->sync([] {}); });
            never.get_future().wait_for(10s);
        },
        message);
    EXPECT_DEATH(owner->sync([&] { other->sync([&] { owner->sync([] {}); }); }), message);
    EXPECT_DEATH(concurrent->sync([&] { concurrent->syncBarrier([] {}); }), "sync onto queue 'test.selfBarrier'");
    EXPECT_DEATH(DispatchGroup().leave(), "unbalanced");
}

// Each item's deadline lies between (posted before + delay) and (posted after
// + delay); on a loaded machine posting itself can take a while, so only the
// pairs whose deadlines are certainly ordered are checked.
TEST(DispatchQueueTest, DelayedItemsRunOnTheQueueNoEarlierThanAskedInDeadlineOrder)
{
    auto queue = DispatchQueue::makeSerial("test.after");
    struct Window {
        Clock::time_point earliest, latest, ran;
    };
    std::map<int, Window> windows;
    std::vector<int> order;
    std::atomic<bool> allOnQueue {true};
    DispatchGroup group;
    for (int i : {3, 1, 2}) {
        group.enter();
        auto delay = i * 30ms;
        auto before = Clock::now();
        queue->asyncAfter(delay, [&, i] {
            windows[i].ran = Clock::now();
            allOnQueue = allOnQueue && queue->isCurrent();
            order.push_back(i);
            group.leave();
        });
        auto after = Clock::now();
        queue->sync([&] { windows[i].earliest = before + delay; windows[i].latest = after + delay; });
    }
    ASSERT_TRUE(group.waitFor(10s));
    ASSERT_EQ(order.size(), 3u);
    EXPECT_TRUE(allOnQueue);
    for (size_t first = 0; first < order.size(); ++first) {
        EXPECT_GE(windows[order[first]].ran, windows[order[first]].earliest) << order[first] << " ran early";
        for (size_t later = first + 1; later < order.size(); ++later)
            EXPECT_FALSE(windows[order[later]].latest < windows[order[first]].earliest)
                << order[later] << " was due before " << order[first] << " but ran after it";
    }
}

TEST(DispatchGroupTest, WaitAndNotifyHappenOnceEveryEnterIsLeft)
{
    DispatchGroup group;
    std::atomic<int> left {0};
    auto queue = DispatchQueue::makeSerial("test.notify");
    std::promise<bool> notified;
    for (int i = 0; i < 10; ++i) {
        group.enter();
        DispatchQueue::global()->asyncAfter(std::chrono::milliseconds(i), [group, &left] {
            left++;
            group.leave();
        });
    }
    group.enter();
    group.notify(queue, [&] { notified.set_value(queue->isCurrent() && left == 10); });
    EXPECT_FALSE(group.waitFor(20ms)) << "one enter is still outstanding";
    group.leave();
    group.wait();
    EXPECT_EQ(left, 10);
    EXPECT_TRUE(group.waitFor(0ms));
    auto result = notified.get_future();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(result.get());

    std::promise<void> notifiedAtOnce;
    DispatchGroup().notify(DispatchQueue::global(), [&] { notifiedAtOnce.set_value(); });
    EXPECT_EQ(notifiedAtOnce.get_future().wait_for(10s), std::future_status::ready);
}

TEST(MainRunLoopTest, MainQueueItemsRunOnTheLoopsThreadAndTheLoopEndsOnStopOrGivesUpAfterTheTimeout)
{
    auto mainThread = std::this_thread::get_id();
    std::atomic<bool> returned {false};
    std::thread::id asyncRanOn, syncRanOn;
    bool wasCurrent = false;
    std::thread other([&] {
        DispatchQueue::main()->async([&] {
            asyncRanOn = std::this_thread::get_id();
            wasCurrent = DispatchQueue::main()->isCurrent();
        });
        EXPECT_EQ(DispatchQueue::main()->sync([&] {
            syncRanOn = std::this_thread::get_id();
            return 42;
        }),
            42);
        returned = true;
    });
    EXPECT_TRUE(MainRunLoop::runUntil([&] { return returned.load(); }, 10s));
    other.join();
    EXPECT_EQ(asyncRanOn, mainThread);
    EXPECT_EQ(syncRanOn, mainThread);
    EXPECT_TRUE(wasCurrent);

    DispatchQueue::global()->asyncAfter(20ms, [] { DispatchQueue::main()->async([] { MainRunLoop::stop(); }); });
    MainRunLoop::run(); // returns only because of stop()
    auto start = Clock::now();
    EXPECT_FALSE(MainRunLoop::runUntil([] { return false; }, 30ms));
    EXPECT_GE(Clock::now() - start, 30ms);
}
