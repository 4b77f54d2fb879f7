#include "platform/progress/FileProgressService.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using tavik::URL;
using tavik::progress::FileProgressService;
using tavik::progress::Progress;
using tavik::progress::ProgressPtr;

namespace {

// What handlers reported, in order, with a bounded wait for more.
class Journal {
public:
    void add(std::string line)
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
        changed_.notify_all();
    }
    bool waitForCount(size_t count)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return lines_.size() >= count; });
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

FileProgressService::PublishingHandler recordingHandler(Journal& journal, std::string name)
{
    return [&journal, name](const ProgressPtr& progress) -> FileProgressService::UnpublishingHandler {
        journal.add(name + " published " + std::to_string(progress->fractionCompleted()));
        return [&journal, name, progress] {
            journal.add(name + " unpublished " + std::to_string(progress->fractionCompleted()));
        };
    };
}

} // namespace

TEST(FileProgressServiceTest, SubscribersHearOfPublicationsBeforeAndAfterTheySubscribed)
{
    FileProgressService service;
    Journal journal;
    auto url = URL::fileURL("/downloads/Example.dmg", false);
    auto early = service.addSubscriber(url, recordingHandler(journal, "early"));
    auto other = service.addSubscriber(URL::fileURL("/downloads/Other.dmg", false), recordingHandler(journal, "other"));

    auto progress = std::make_shared<Progress>(4);
    progress->setCompletedUnitCount(1);
    auto publication = service.publish(url, progress);
    ASSERT_TRUE(journal.waitForCount(1));
    auto late = service.addSubscriber(url, recordingHandler(journal, "late"));
    ASSERT_TRUE(journal.waitForCount(2));

    progress->setCompletedUnitCount(4);
    service.unpublish(publication);
    service.unpublish(publication);
    ASSERT_TRUE(journal.waitForCount(4));
    // A subscriber arriving after the withdrawal hears nothing of it; the
    // next publication shows that everything queued before it was delivered.
    auto after = service.addSubscriber(url, recordingHandler(journal, "after"));
    auto next = service.publish(url, std::make_shared<Progress>(1));
    ASSERT_TRUE(journal.waitForCount(7));

    auto lines = journal.lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
        (std::vector<std::string> {"early published 0.250000", "late published 0.250000", "early unpublished 1.000000",
            "late unpublished 1.000000"}));
    std::sort(lines.begin() + 4, lines.end());
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.end()),
        (std::vector<std::string> {"after published 0.000000", "early published 0.000000", "late published 0.000000"}));
    EXPECT_EQ(service.subscriberCount(), 4u);
    EXPECT_EQ(service.publicationCount(), 1u);
}

TEST(FileProgressServiceTest, ARemovedSubscriberIsNotCalledAgain)
{
    FileProgressService service;
    Journal journal;
    auto url = URL::fileURL("/downloads/Example.zip", false);
    auto leaving = service.addSubscriber(url, recordingHandler(journal, "leaving"));
    auto staying = service.addSubscriber(url, recordingHandler(journal, "staying"));
    auto first = service.publish(url, std::make_shared<Progress>(1));
    ASSERT_TRUE(journal.waitForCount(2));

    service.removeSubscriber(leaving);
    service.unpublish(first);
    ASSERT_TRUE(journal.waitForCount(3));
    auto second = service.publish(url, std::make_shared<Progress>(1));
    service.unpublish(second);
    // Handler calls run in one order on one queue, so once "staying" heard of
    // a withdrawal, "leaving" would have as well.
    ASSERT_TRUE(journal.waitForCount(5));
    EXPECT_EQ(journal.lines(), (std::vector<std::string> {"leaving published 0.000000", "staying published 0.000000", "staying unpublished 0.000000", "staying published 0.000000", "staying unpublished 0.000000"}));
    EXPECT_EQ(service.subscriberCount(), 1u);
    EXPECT_EQ(service.publicationCount(), 0u);
}

// Publishers, subscribers and withdrawals from many threads at once. Every
// subscriber still registered hears of each withdrawal of a publication it
// heard of, and nothing stays registered. Meant for ThreadSanitizer as much as
// for the assertions.
TEST(FileProgressServiceTest, ConcurrentPublishersAndSubscribersStayBalanced)
{
    struct Counts {
        std::mutex mutex;
        std::condition_variable changed;
        int published = 0;
        int unpublished = 0;
    };
    FileProgressService service;
    constexpr int threads = 6;
    constexpr int rounds = 150;
    auto kept = std::make_shared<Counts>();
    std::mutex keptMutex;
    std::vector<FileProgressService::SubscriberToken> keptSubscribers;

    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round) {
                auto url = URL::fileURL("/downloads/file-" + std::to_string((t + round) % 4), false);
                bool keep = round % 3 != 0;
                auto counts = keep ? kept : std::make_shared<Counts>();
                auto subscriber = service.addSubscriber(url, [counts](const ProgressPtr&) {
                    std::lock_guard lock(counts->mutex);
                    ++counts->published;
                    return FileProgressService::UnpublishingHandler([counts] {
                        std::lock_guard inner(counts->mutex);
                        ++counts->unpublished;
                        counts->changed.notify_all();
                    });
                });
                auto publication = service.publish(url, std::make_shared<Progress>(1));
                if (keep) {
                    std::lock_guard lock(keptMutex);
                    keptSubscribers.push_back(subscriber);
                } else {
                    service.removeSubscriber(subscriber);
                }
                service.unpublish(publication);
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(service.publicationCount(), 0u);

    {
        // Deliveries go on after the workers end, and the two counts are equal
        // at many moments on the way: wait for every kept subscriber to have
        // heard at least of its own publication, and for the counts to meet.
        std::unique_lock lock(kept->mutex);
        const int ownPublications = threads * (rounds - rounds / 3 - 1);
        EXPECT_TRUE(kept->changed.wait_for(lock, 20s, [&] {
            return kept->published >= ownPublications && kept->unpublished == kept->published;
        })) << kept->published
            << " heard, " << kept->unpublished << " withdrawn";
    }
    for (const auto& subscriber : keptSubscribers)
        service.removeSubscriber(subscriber);
    EXPECT_EQ(service.subscriberCount(), 0u);
}
