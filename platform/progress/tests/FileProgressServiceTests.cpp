#include "platform/progress/FileProgressService.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/Recorder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

using tavik::URL;
using tavik::progress::FileProgressService;
using tavik::progress::Progress;
using tavik::progress::ProgressPtr;
using Strings = std::vector<std::string>;

namespace {

// What the handlers of the subscribers it makes reported, in order.
struct Journal : tavik::testing::Recorder<std::string> {
    FileProgressService::SubscriberToken subscribe(FileProgressService& service, const std::string& file, const std::string& name)
    {
        return service.addSubscriber(URL::fileURL("/downloads/" + file, false), [this, name](const ProgressPtr& progress) {
            add(name + " published " + std::to_string(progress->fractionCompleted()));
            return [this, name, progress] { add(name + " unpublished " + std::to_string(progress->fractionCompleted())); };
        });
    }
    // The lines so far, once there are at least `count` of them.
    Strings lines(size_t count)
    {
        auto lines = waitFor(count);
        EXPECT_GE(lines.size(), count);
        return lines;
    }
};

} // namespace

TEST(FileProgressServiceTest, SubscribersHearOfPublicationsOfTheirFileBeforeAndAfterTheySubscribedUntilRemoved)
{
    FileProgressService service;
    Journal journal;
    auto url = URL::fileURL("/downloads/Example.dmg", false);
    auto early = journal.subscribe(service, "Example.dmg", "early");
    auto other = journal.subscribe(service, "Other.dmg", "other");
    auto progress = std::make_shared<Progress>(4);
    progress->setCompletedUnitCount(1);
    auto publication = service.publish(url, progress);
    journal.lines(1);
    auto late = journal.subscribe(service, "Example.dmg", "late");
    journal.lines(2);
    progress->setCompletedUnitCount(4);
    service.unpublish(publication);
    service.unpublish(publication);
    EXPECT_EQ(journal.lines(4), (Strings {"early published 0.250000", "late published 0.250000", "early unpublished 1.000000", "late unpublished 1.000000"}));

    // A subscriber arriving after the withdrawal hears nothing of it; one
    // removed hears nothing more, not even of the withdrawal of what it heard
    // published. Handler calls run in order on one queue, so once the third
    // publication is reported everything before it was.
    auto after = journal.subscribe(service, "Example.dmg", "after");
    auto second = service.publish(url, std::make_shared<Progress>(1));
    journal.lines(7);
    service.removeSubscriber(early);
    service.unpublish(second);
    auto third = service.publish(url, std::make_shared<Progress>(1));
    auto lines = journal.lines(11);
    std::sort(lines.begin() + 4, lines.end());
    EXPECT_EQ(Strings(lines.begin() + 4, lines.end()), (Strings {"after published 0.000000", "after published 0.000000", "after unpublished 0.000000", "early published 0.000000", "late published 0.000000", "late published 0.000000", "late unpublished 0.000000"}));
    EXPECT_EQ(service.subscriberCount(), 3u);
    EXPECT_EQ(service.publicationCount(), 1u);
}

// Every subscriber still registered hears of each withdrawal of a publication
// it heard of, and nothing stays registered (for ThreadSanitizer too).
TEST(FileProgressServiceTest, ConcurrentPublishersAndSubscribersStayBalanced)
{
    struct Counts {
        std::atomic<int> published {0}, unpublished {0};
    };
    FileProgressService service;
    constexpr int threads = 6;
    constexpr int rounds = 150;
    auto kept = std::make_shared<Counts>();
    tavik::testing::Recorder<FileProgressService::SubscriberToken> keptSubscribers;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round) {
                auto url = URL::fileURL("/downloads/file-" + std::to_string((t + round) % 4), false);
                bool keep = round % 3 != 0;
                auto counts = keep ? kept : std::make_shared<Counts>();
                auto subscriber = service.addSubscriber(url, [counts](const ProgressPtr&) {
                    ++counts->published;
                    return FileProgressService::UnpublishingHandler([counts] { ++counts->unpublished; });
                });
                auto publication = service.publish(url, std::make_shared<Progress>(1));
                keep ? keptSubscribers.add(subscriber) : service.removeSubscriber(subscriber);
                service.unpublish(publication);
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(service.publicationCount(), 0u);

    // Deliveries go on after the workers end: wait until every kept subscriber
    // heard of its own publication and the counts meet (withdrawals read first).
    const int ownPublications = threads * (rounds - rounds / 3 - 1);
    EXPECT_TRUE(tavik::testing::eventually([&] {
        int withdrawn = kept->unpublished;
        return kept->published >= ownPublications && kept->published == withdrawn;
    }))
        << kept->published << " heard, " << kept->unpublished << " withdrawn";
    for (const auto& subscriber : keptSubscribers.all())
        service.removeSubscriber(subscriber);
    EXPECT_EQ(service.subscriberCount(), 0u);
}
