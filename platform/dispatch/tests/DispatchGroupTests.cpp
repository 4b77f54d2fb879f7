#include "platform/dispatch/DispatchGroup.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace tavik::dispatch;
using namespace std::chrono_literals;

TEST(DispatchGroupTest, WaitReturnsOnceEveryEnterIsLeft)
{
    DispatchGroup group;
    std::atomic<int> left {0};
    for (int i = 0; i < 10; ++i) {
        group.enter();
        DispatchQueue::global()->asyncAfter(std::chrono::milliseconds(i), [group, &left] {
            left++;
            group.leave();
        });
    }
    group.wait();
    EXPECT_EQ(left, 10);
}

TEST(DispatchGroupTest, WaitForTimesOutWhileWorkIsOutstanding)
{
    DispatchGroup group;
    group.enter();
    EXPECT_FALSE(group.waitFor(20ms));
    group.leave();
    EXPECT_TRUE(group.waitFor(0ms));
}

TEST(DispatchGroupTest, NotifyRunsOnTheQueueAfterTheLastLeave)
{
    DispatchGroup group;
    auto queue = DispatchQueue::makeSerial("test.notify");
    group.enter();
    group.enter();
    std::promise<bool> notified;
    auto result = notified.get_future();
    std::atomic<int> left {0};
    group.notify(queue, [&] { notified.set_value(queue->isCurrent() && left == 2); });
    left++;
    group.leave();
    EXPECT_EQ(result.wait_for(20ms), std::future_status::timeout);
    left++;
    group.leave();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(result.get());
}

TEST(DispatchGroupTest, NotifyOnAnEmptyGroupRunsAtOnce)
{
    DispatchGroup group;
    std::promise<void> notified;
    group.notify(DispatchQueue::global(), [&] { notified.set_value(); });
    EXPECT_EQ(notified.get_future().wait_for(10s), std::future_status::ready);
}

TEST(DispatchGroupDeathTest, LeavingMoreThanEnteredAborts)
{
    DispatchGroup group;
    EXPECT_DEATH(group.leave(), "unbalanced");
}
