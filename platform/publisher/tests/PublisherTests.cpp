#include "platform/publisher/Publisher.hpp"

#include "platform/testing/Recorder.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <numeric>
#include <thread>
#include <vector>

using namespace tavik::publisher;
using tavik::dispatch::DispatchQueue;
using tavik::testing::Recorder;
using Ints = std::vector<int>;

TEST(AnyCancellable, CancelsItsSubscriptionOnceWhenCancelledReleasedOrReplaced)
{
    int calls = 0;
    {
        AnyCancellable token([&] { ++calls; });
        AnyCancellable moved = std::move(token); // the moved-from token cancels nothing
        moved.cancel();
        moved.cancel();
        EXPECT_EQ(calls, 1);
        AnyCancellable replaced([&] { ++calls; });
        replaced = AnyCancellable([&] { calls += 10; });
        EXPECT_EQ(calls, 2);
    }
    EXPECT_EQ(calls, 12);
}

TEST(Subject, ACurrentValueSubjectReplaysItsValueAPassthroughOneSendsOnlyToPresentSubscribersAndReceiversMayCancelAndSend)
{
    CurrentValueSubject<int> current(1);
    PassthroughSubject<int> passthrough;
    passthrough.send(1);
    Ints first, second, passed;
    auto firstToken = current.sink([&](const int& value) { first.push_back(value); });
    auto passedToken = passthrough.sink([&](const int& value) { passed.push_back(value); });
    current.send(2);
    passthrough.send(2);
    auto secondToken = current.publisher().sink([&](const int& value) { second.push_back(value); });
    current.send(3);
    firstToken.cancel();
    current.send(4);
    EXPECT_EQ(first, (Ints {1, 2, 3}));
    EXPECT_EQ(second, (Ints {2, 3, 4}));
    EXPECT_EQ(passed, (Ints {2}));
    EXPECT_EQ(current.value(), 4);

    CurrentValueSubject<int> subject(0); // a receiver may cancel itself and send
    Ints seen;
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
    EXPECT_EQ(seen, (Ints {0, 1, 2}));
}

TEST(Publisher, MapRemoveDuplicatesCombineLatestOnceBothSidesSentAndReceiveOnDeliversInOrderOnTheQueueUntilCancelled)
{
    PassthroughSubject<int> numbers;
    CurrentValueSubject<std::string> names("a");
    std::vector<std::pair<int, std::string>> pairs;
    auto token = combineLatest(numbers.publisher().map([](int value) { return value / 10; }).removeDuplicates(), names.publisher())
                     .sink([&](const std::pair<int, std::string>& pair) { pairs.push_back(pair); });
    names.send("b");
    numbers.send(10);
    numbers.send(11); // maps to 1 again: dropped
    numbers.send(20);
    names.send("c");
    token.cancel();
    names.send("d");
    EXPECT_EQ(pairs, (std::vector<std::pair<int, std::string>> {{1, "b"}, {2, "b"}, {2, "c"}}));

    // receiveOn delivers in order on the queue and stops when cancelled.
    auto queue = DispatchQueue::makeSerial("publisher-test");
    CurrentValueSubject<int> subject(0);
    Recorder<int> seen;
    std::atomic<bool> allOnQueue = true;
    auto delivery = subject.publisher().receiveOn(queue).sink([&](const int& value) {
        allOnQueue = allOnQueue && queue->isCurrent();
        seen.add(value);
    });
    Ints expected(101);
    std::iota(expected.begin(), expected.end(), 0);
    for (int value = 1; value <= 100; ++value)
        subject.send(value);
    ASSERT_EQ(seen.waitFor(expected.size()), expected);

    // Block the queue, send, cancel: the queued delivery must not arrive.
    std::promise<void> release;
    queue->async([released = release.get_future().share()] { released.wait(); });
    subject.send(500);
    delivery.cancel();
    release.set_value();
    queue->sync([] {});
    EXPECT_TRUE(allOnQueue);
    EXPECT_EQ(seen.all(), expected);
}

// Many threads send while others subscribe and cancel: no receiver is called
// after its cancel returned (and ThreadSanitizer sees no race).
TEST(Subject, ConcurrentSendsAndSubscriptionsAreSafe)
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
                    *last = value; // within one subscription, calls never overlap
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
TEST(Subject, ASenderDoesNotWaitForAReceiverBusyOnAnotherThread)
{
    CurrentValueSubject<int> subject(0);
    std::promise<void> otherSent;
    auto otherSentFuture = otherSent.get_future();
    Recorder<std::pair<int, std::thread::id>> calls;
    bool otherSenderWasFree = false;
    std::thread other;
    auto token = subject.sink([&](const int& value) {
        calls.add({value, std::this_thread::get_id()});
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
    auto seen = calls.all();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].first, 1);
    EXPECT_EQ(seen[2].first, 2);
    EXPECT_EQ(seen[2].second, seen[1].second) << "delivered by the thread that was calling the receiver";

    // Once cancelled, nothing queued is delivered any more.
    token.cancel();
    subject.send(3);
    EXPECT_EQ(calls.all().size(), 3u);
}
