#include "platform/progress/FileProgressService.hpp"

#include "platform/dispatch/DispatchQueue.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tavik::progress {

struct FileProgressService::Subscriber {
    std::string path;
    PublishingHandler publishingHandler;
    std::atomic<bool> removed {false};
};

struct FileProgressService::Publication {
    std::string path;
    ProgressPtr progress;
    // Touched only on the registry's delivery queue.
    std::vector<std::pair<SubscriberToken, UnpublishingHandler>> unpublishingHandlers;
    // Guarded by the registry's mutex.
    bool withdrawn = false;
};

struct FileProgressService::Registry {
    // Serial: handler calls run one after another in the order they were
    // queued, so a subscriber's unpublishing handler never overtakes its
    // publishing one, and a burst of publications costs one thread.
    dispatch::QueuePtr deliveries = dispatch::DispatchQueue::makeSerial("FileProgressService.deliveries");
    mutable std::mutex mutex;
    std::unordered_map<std::string, std::vector<SubscriberToken>> subscribers;
    std::unordered_map<std::string, std::vector<PublicationToken>> publications;
    size_t subscriberCount = 0;
    size_t publicationCount = 0;
};

namespace {

using Subscriber = FileProgressService::Subscriber;
using Publication = FileProgressService::Publication;

void deliverPublication(const dispatch::QueuePtr& deliveries, const std::shared_ptr<Publication>& publication,
    const std::shared_ptr<Subscriber>& subscriber)
{
    deliveries->async([publication, subscriber] {
        if (subscriber->removed.load())
            return;
        auto unpublishingHandler = subscriber->publishingHandler(publication->progress);
        if (unpublishingHandler)
            publication->unpublishingHandlers.emplace_back(subscriber, std::move(unpublishingHandler));
    });
}

template <class T>
void eraseFrom(std::unordered_map<std::string, std::vector<std::shared_ptr<T>>>& index, const std::shared_ptr<T>& item,
    size_t& count)
{
    auto found = index.find(item->path);
    if (found == index.end())
        return;
    auto& items = found->second;
    auto position = std::find(items.begin(), items.end(), item);
    if (position == items.end())
        return;
    items.erase(position);
    --count;
    if (items.empty())
        index.erase(found);
}

} // namespace

FileProgressService::FileProgressService()
    : registry_(std::make_unique<Registry>())
{
}

FileProgressService::~FileProgressService() = default;

const std::shared_ptr<FileProgressService>& FileProgressService::shared()
{
    // Never destroyed: handlers may still run on other threads at exit.
    static auto* service = new std::shared_ptr<FileProgressService>(std::make_shared<FileProgressService>());
    return *service;
}

FileProgressService::SubscriberToken FileProgressService::addSubscriber(const URL& fileURL,
    PublishingHandler publishingHandler)
{
    auto subscriber = std::make_shared<Subscriber>();
    subscriber->path = fileURL.path().native();
    subscriber->publishingHandler = std::move(publishingHandler);

    std::vector<PublicationToken> current;
    {
        std::lock_guard lock(registry_->mutex);
        registry_->subscribers[subscriber->path].push_back(subscriber);
        ++registry_->subscriberCount;
        if (auto found = registry_->publications.find(subscriber->path); found != registry_->publications.end())
            current = found->second;
        // Queued under the lock, so a withdrawal of one of these queues its
        // unpublishing calls after this delivery.
        for (const auto& publication : current)
            deliverPublication(registry_->deliveries, publication, subscriber);
    }
    return subscriber;
}

void FileProgressService::removeSubscriber(const SubscriberToken& token)
{
    if (!token)
        return;
    token->removed.store(true);
    std::lock_guard lock(registry_->mutex);
    eraseFrom(registry_->subscribers, token, registry_->subscriberCount);
}

FileProgressService::PublicationToken FileProgressService::publish(const URL& fileURL, ProgressPtr progress)
{
    auto publication = std::make_shared<Publication>();
    publication->path = fileURL.path().native();
    publication->progress = std::move(progress);

    std::lock_guard lock(registry_->mutex);
    registry_->publications[publication->path].push_back(publication);
    ++registry_->publicationCount;
    if (auto found = registry_->subscribers.find(publication->path); found != registry_->subscribers.end()) {
        for (const auto& subscriber : found->second)
            deliverPublication(registry_->deliveries, publication, subscriber);
    }
    return publication;
}

void FileProgressService::unpublish(const PublicationToken& token)
{
    if (!token)
        return;
    std::lock_guard lock(registry_->mutex);
    if (token->withdrawn)
        return;
    token->withdrawn = true;
    eraseFrom(registry_->publications, token, registry_->publicationCount);
    registry_->deliveries->async([publication = token] {
        auto handlers = std::move(publication->unpublishingHandlers);
        publication->unpublishingHandlers.clear();
        for (auto& [subscriber, handler] : handlers) {
            if (!subscriber->removed.load())
                handler();
        }
    });
}

size_t FileProgressService::subscriberCount() const
{
    std::lock_guard lock(registry_->mutex);
    return registry_->subscriberCount;
}

size_t FileProgressService::publicationCount() const
{
    std::lock_guard lock(registry_->mutex);
    return registry_->publicationCount;
}

} // namespace tavik::progress
