#include "platform/publisher/Publisher.hpp"

#include "platform/dispatch/DispatchGroup.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace tavik::publisher;
using tavik::dispatch::DispatchQueue;

TEST(Subscription, RunsItsCancelClosureOnceAndOnRelease)
{
    int calls = 0;
    {
        Subscription subscription([&] { ++calls; });
        subscription.cancel();
        subscription.cancel();
        EXPECT_EQ(calls, 1);
    }
    EXPECT_EQ(calls, 1);
    {
        AnyCancellable token([&] { ++calls; });
        AnyCancellable moved = std::move(token);
        EXPECT_FALSE(token == moved);
    }
    EXPECT_EQ(calls, 2);
}

TEST(CurrentValueSubject, ReplaysTheCurrentValueThenSendsLaterOnes)
{
    CurrentValueSubject<int> subject(1);
    std::vector<int> first, second;
    auto firstToken = subject.sink([&](const int& value) { first.push_back(value); });
    subject.send(2);
    auto secondToken = subject.publisher().sink([&](const int& value) { second.push_back(value); });
    subject.send(3);
    firstToken.cancel();
    subject.send(4);
    EXPECT_EQ(first, (std::vector<int> {1, 2, 3}));
    EXPECT_EQ(second, (std::vector<int> {2, 3, 4}));
    EXPECT_EQ(subject.value(), 4);
}

TEST(CurrentValueSubject, AReceiverMayCancelItselfAndSend)
{
    CurrentValueSubject<int> subject(0);
    std::vector<int> seen;
    AnyCancellable token;
    token = subject.sink([&](const int& value) {
        seen.push_back(value);
        if (value == 1)
            subject.send(2); // nested send from a receiver
        if (value == 2)
            token.cancel();
    });
    subject.send(1);
    subject.send(3);
    EXPECT_EQ(seen, (std::vector<int> {0, 1, 2}));
}

TEST(PassthroughSubject, SendsOnlyToPresentSubscribers)
{
    PassthroughSubject<std::string> subject;
    subject.send("lost");
    std::vector<std::string> seen;
    auto token = subject.sink([&](const std::string& value) { seen.push_back(value); });
    subject.send("kept");
    EXPECT_EQ(seen, (std::vector<std::string> {"kept"}));
}

TEST(Publisher, MapRemoveDuplicatesAndCombineLatest)
{
    CurrentValueSubject<int> numbers(1);
    CurrentValueSubject<std::string> names("a");
    std::vector<std::pair<int, std::string>> pairs;
    auto token = combineLatest(numbers.publisher().map([](int value) { return value * 10; }).removeDuplicates(),
        names.publisher())
                     .sink([&](const std::pair<int, std::string>& pair) { pairs.push_back(pair); });
    numbers.send(1); // maps to 10 again: dropped
    numbers.send(2);
    names.send("b");
    EXPECT_EQ(pairs, (std::vector<std::pair<int, std::string>> {{10, "a"}, {20, "a"}, {20, "b"}}));
}

TEST(Publisher, CombineLatestWaitsForBothSides)
{
    PassthroughSubject<int> left;
    PassthroughSubject<int> right;
    std::vector<std::pair<int, int>> pairs;
    auto token = combineLatest(left.publisher(), right.publisher()).sink([&](const auto& pair) { pairs.push_back(pair); });
    left.send(1);
    left.send(2);
    EXPECT_TRUE(pairs.empty());
    right.send(7);
    token.cancel();
    right.send(8);
    EXPECT_EQ(pairs, (std::vector<std::pair<int, int>> {{2, 7}}));
}

TEST(Publisher, ReceiveOnDeliversOnTheQueueAndStopsWhenCancelled)
{
    auto queue = DispatchQueue::makeSerial("publisher-test");
    CurrentValueSubject<int> subject(0);
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> seen;
    bool allOnQueue = true;
    auto token = subject.publisher().receiveOn(queue).sink([&](const int& value) {
        std::lock_guard lock(mutex);
        allOnQueue = allOnQueue && queue->isCurrent();
        seen.push_back(value);
        changed.notify_all();
    });
    for (int value = 1; value <= 100; ++value)
        subject.send(value);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return seen.size() == 101; }));
    }
    EXPECT_TRUE(allOnQueue);
    for (int value = 0; value <= 100; ++value)
        EXPECT_EQ(seen[size_t(value)], value);

    // Block the queue, send, cancel: the queued delivery must not arrive.
    std::promise<void> release;
    auto released = release.get_future().share();
    queue->async([released] { released.wait(); });
    subject.send(500);
    token.cancel();
    release.set_value();
    queue->sync([] {});
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen.size(), 101u);
}

// Many threads send while others subscribe and cancel: no receiver is called
// after its cancel returned (and ThreadSanitizer sees no race).
TEST(CurrentValueSubject, ConcurrentSendsAndSubscriptionsAreSafe)
{
    CurrentValueSubject<int> subject(0);
    std::atomic<int> next {0};
    std::atomic<bool> failed {false};
    std::vector<std::thread> threads;
    for (int sender = 0; sender < 4; ++sender)
        threads.emplace_back([&] {
            for (int count = 0; count < 2000; ++count)
                subject.send(++next);
        });
    for (int subscriber = 0; subscriber < 4; ++subscriber)
        threads.emplace_back([&] {
            for (int round = 0; round < 200; ++round) {
                auto last = std::make_shared<std::optional<int>>();
                auto cancelled = std::make_shared<std::atomic<bool>>(false);
                auto token = subject.sink([last, cancelled, &failed](const int& value) {
                    if (*cancelled)
                        failed = true;
                    // Within one subscription, calls never overlap.
                    *last = value;
                });
                token.cancel();
                *cancelled = true;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_FALSE(failed);
    EXPECT_GE(subject.value(), 1);
}

// A sender never waits for another thread's call of the same receiver: that
// thread delivers the value next. (Waiting would deadlock when the receiver
// in progress waits for the sender, as a settings write inside an observer
// may.)
TEST(CurrentValueSubject, ASenderDoesNotWaitForAReceiverBusyOnAnotherThread)
{
    CurrentValueSubject<int> subject(0);
    std::promise<void> otherSent;
    auto otherSentFuture = otherSent.get_future();
    std::mutex mutex;
    std::vector<std::pair<int, std::thread::id>> seen;
    bool otherSenderWasFree = false;
    std::thread other;
    auto token = subject.sink([&](const int& value) {
        {
            std::lock_guard lock(mutex);
            seen.emplace_back(value, std::this_thread::get_id());
        }
        if (value == 1) {
            // Another thread sends while this call is in progress.
            other = std::thread([&] {
                subject.send(2);
                otherSent.set_value();
            });
            otherSenderWasFree = otherSentFuture.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        }
    });
    std::thread first([&] { subject.send(1); });
    first.join();
    other.join();
    EXPECT_TRUE(otherSenderWasFree);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].first, 1);
    EXPECT_EQ(seen[2].first, 2);
    EXPECT_EQ(seen[2].second, seen[1].second) << "delivered by the thread that was calling the receiver";

    // Once cancelled, nothing queued is delivered any more.
    token.cancel();
    subject.send(3);
    EXPECT_EQ(seen.size(), 3u);
}
