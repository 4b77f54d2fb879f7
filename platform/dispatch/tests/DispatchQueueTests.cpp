#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/MainRunLoop.hpp"
#include "platform/dispatch/QueueAssertion.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

using namespace tavik::dispatch;
using namespace std::chrono_literals;


TEST(DispatchQueueTest, SerialQueueRunsItemsOneAtATimeInOrder)
{
    auto queue = DispatchQueue::makeSerial("test.serial");
    std::vector<int> order;
    std::atomic<int> inside {0};
    std::atomic<bool> overlapped {false};
    for (int i = 0; i < 200; ++i) {
        queue->async([&, i] {
            if (inside.fetch_add(1) != 0)
                overlapped = true;
            order.push_back(i);
            inside.fetch_sub(1);
        });
    }
    queue->sync([] {});
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(order[i], i);
}

TEST(DispatchQueueTest, ConcurrentQueueRunsItemsSideBySide)
{
    auto queue = DispatchQueue::makeConcurrent("test.concurrent");
    std::latch bothStarted(2);
    DispatchGroup group;
    for (int i = 0; i < 2; ++i) {
        group.enter();
        queue->async([&] {
            bothStarted.arrive_and_wait(); // deadlocks unless both run at once
            group.leave();
        });
    }
    EXPECT_TRUE(group.waitFor(10s));
}

TEST(DispatchQueueTest, BarrierWaitsForEarlierItemsAndRunsAlone)
{
    auto queue = DispatchQueue::makeConcurrent("test.barrier");
    std::mutex mutex;
    std::vector<std::string> events;
    auto record = [&](std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    };
    std::atomic<int> readersInside {0};
    std::atomic<bool> barrierSawReader {false};
    for (int i = 0; i < 8; ++i) {
        queue->async([&] {
            readersInside++;
            std::this_thread::sleep_for(5ms);
            record("before");
            readersInside--;
        });
    }
    queue->asyncBarrier([&] {
        if (readersInside != 0)
            barrierSawReader = true;
        record("barrier");
    });
    for (int i = 0; i < 8; ++i)
        queue->async([&] { record("after"); });
    int fromSyncBarrier = queue->syncBarrier([&] { return static_cast<int>(events.size()); });

    EXPECT_FALSE(barrierSawReader);
    EXPECT_EQ(fromSyncBarrier, 17);
    ASSERT_EQ(events.size(), 17u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(events[i], "before");
    EXPECT_EQ(events[8], "barrier");
    for (int i = 9; i < 17; ++i)
        EXPECT_EQ(events[i], "after");
}

TEST(DispatchQueueTest, SyncReturnsTheValueAndRunsOnTheQueue)
{
    auto queue = DispatchQueue::makeSerial("test.sync");
    EXPECT_FALSE(queue->isCurrent());
    bool wasCurrent = queue->sync([&] { return queue->isCurrent(); });
    EXPECT_TRUE(wasCurrent);
    std::atomic<bool> asyncWasCurrent {false};
    queue->async([&] { asyncWasCurrent = queue->isCurrent(); });
    queue->sync([] {});
    EXPECT_TRUE(asyncWasCurrent);
}

TEST(DispatchQueueTest, SyncPropagatesExceptionsAndKeepsTheQueueUsable)
{
    auto queue = DispatchQueue::makeSerial("test.throw");
    EXPECT_THROW(queue->sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    EXPECT_EQ(queue->sync([] { return 7; }), 7);
}

TEST(DispatchQueueTest, AssertCurrentPassesInsideTheQueuesOwnWork)
{
    auto serial = DispatchQueue::makeSerial("test.assert.serial");
    auto concurrent = DispatchQueue::makeConcurrent("test.assert.concurrent");
    serial->sync([&] { TAVIK_ASSERT_ON_QUEUE(serial); });
    concurrent->syncBarrier([&] { assertCurrent(*concurrent); });
    DispatchGroup group;
    for (const auto& queue : {serial, concurrent, DispatchQueue::global()}) {
        group.enter();
        queue->async([&, queue] {
            assertCurrent(*queue);
            group.leave();
        });
    }
    EXPECT_TRUE(group.waitFor(10s));
    // Syncs that can start at once are allowed from inside the queue.
    concurrent->sync([&] { concurrent->sync([&] { assertCurrent(*concurrent); }); });
    DispatchQueue::global()->sync([] { DispatchQueue::global()->syncBarrier([] {}); });
}

TEST(DispatchQueueDeathTest, AssertCurrentStopsCodeOffItsQueue)
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
}

TEST(DispatchQueueDeathTest, SyncThatWouldWaitForItsOwnCallerStopsTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto serial = DispatchQueue::makeSerial("test.self");
    auto concurrent = DispatchQueue::makeConcurrent("test.selfBarrier");
    auto between = DispatchQueue::makeSerial("test.between");
    const char* message = "would wait forever";
    EXPECT_DEATH(serial->sync([&] { serial->sync([] {}); }), "sync onto queue 'test.self'");
    // From an async item, the way real code meets it.
    EXPECT_DEATH(
        {
            std::promise<void> never;
            serial->async([&] { serial->sync([] {}); });
            never.get_future().wait_for(10s);
        },
        message);
    EXPECT_DEATH(serial->sync([&] { between->sync([&] { serial->sync([] {}); }); }), message);
    EXPECT_DEATH(concurrent->sync([&] { concurrent->syncBarrier([] {}); }), "sync onto queue 'test.selfBarrier'");
}

TEST(DispatchQueueTest, GlobalQueueFinishesSixtyFourItemsThatEachBlockUntilAllHaveStarted)
{
    constexpr int count = 64;
    std::latch allStarted(count);
    DispatchGroup group;
    std::atomic<int> finished {0};
    for (int i = 0; i < count; ++i) {
        group.enter();
        DispatchQueue::global()->async([&] {
            allStarted.arrive_and_wait();
            finished++;
            group.leave();
        });
    }
    ASSERT_TRUE(group.waitFor(30s));
    EXPECT_EQ(finished, count);
}

TEST(DispatchQueueTest, GlobalQueueIgnoresBarriers)
{
    std::latch bothStarted(2);
    DispatchGroup group;
    group.enter();
    group.enter();
    DispatchQueue::global()->async([&] {
        bothStarted.arrive_and_wait();
        group.leave();
    });
    DispatchQueue::global()->asyncBarrier([&] {
        bothStarted.arrive_and_wait();
        group.leave();
    });
    EXPECT_TRUE(group.waitFor(10s));
}

TEST(DispatchQueueTest, AsyncAfterRunsOnTheQueueNoEarlierThanAsked)
{
    auto queue = DispatchQueue::makeSerial("test.after");
    auto start = std::chrono::steady_clock::now();
    std::promise<std::pair<std::chrono::steady_clock::time_point, bool>> ran;
    queue->asyncAfter(50ms, [&] { ran.set_value({std::chrono::steady_clock::now(), queue->isCurrent()}); });
    auto future = ran.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    auto [when, onQueue] = future.get();
    EXPECT_GE(when - start, 50ms);
    EXPECT_TRUE(onQueue);
}

TEST(DispatchQueueTest, DelayedItemsRunInDeadlineOrder)
{
    using Clock = std::chrono::steady_clock;
    auto queue = DispatchQueue::makeSerial("test.after.order");
    std::vector<int> order;
    DispatchGroup group;
    // Each item's deadline lies between (posted before + delay) and (posted
    // after + delay); on a loaded machine posting itself can take a while, so
    // only the pairs whose deadlines are certainly ordered are checked.
    struct Window {
        Clock::time_point earliest, latest;
    };
    std::map<int, Window> deadlines;
    for (int i : {3, 1, 2}) {
        group.enter();
        auto delay = i * 30ms;
        auto before = Clock::now();
        queue->asyncAfter(delay, [&, i] {
            order.push_back(i);
            group.leave();
        });
        deadlines[i] = Window {before + delay, Clock::now() + delay};
    }
    ASSERT_TRUE(group.waitFor(10s));
    ASSERT_EQ(order.size(), 3u);
    for (size_t first = 0; first < order.size(); ++first) {
        for (size_t later = first + 1; later < order.size(); ++later) {
            EXPECT_FALSE(deadlines[order[later]].latest < deadlines[order[first]].earliest)
                << order[later] << " was due before " << order[first] << " but ran after it";
        }
    }
}

TEST(MainRunLoopTest, RunsMainQueueItemsOnTheThreadThatRunsTheLoop)
{
    auto mainThread = std::this_thread::get_id();
    std::atomic<bool> done {false};
    std::thread::id ranOn;
    bool wasCurrent = false;
    std::thread other([&] {
        DispatchQueue::main()->async([&] {
            ranOn = std::this_thread::get_id();
            wasCurrent = DispatchQueue::main()->isCurrent();
            done = true;
        });
    });
    EXPECT_TRUE(MainRunLoop::runUntil([&] { return done.load(); }, 10s));
    other.join();
    EXPECT_EQ(ranOn, mainThread);
    EXPECT_TRUE(wasCurrent);
}

TEST(MainRunLoopTest, SyncFromAnotherThreadWaitsForTheMainThread)
{
    auto mainThread = std::this_thread::get_id();
    std::atomic<bool> returned {false};
    std::thread::id ranOn;
    std::thread other([&] {
        int value = DispatchQueue::main()->sync([&] {
            ranOn = std::this_thread::get_id();
            return 42;
        });
        EXPECT_EQ(value, 42);
        returned = true;
    });
    EXPECT_TRUE(MainRunLoop::runUntil([&] { return returned.load(); }, 10s));
    other.join();
    EXPECT_EQ(ranOn, mainThread);
}

TEST(MainRunLoopTest, StopEndsRun)
{
    DispatchQueue::global()->asyncAfter(20ms, [] { DispatchQueue::main()->async([] { MainRunLoop::stop(); }); });
    MainRunLoop::run(); // returns only because of stop()
    SUCCEED();
}

TEST(MainRunLoopTest, RunUntilGivesUpAfterTheTimeout)
{
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(MainRunLoop::runUntil([] { return false; }, 30ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}
