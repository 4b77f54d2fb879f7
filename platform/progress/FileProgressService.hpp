#pragma once

#include "platform/foundation/URL.hpp"
#include "platform/progress/Progress.hpp"

#include <functional>
#include <memory>

namespace tavik::progress {

// Announces the progress of work on files to whoever in the process wants to
// hear of it. A publisher (a downloader writing a file) publishes a progress
// object for the file's URL and withdraws it when it is done or gives up.
// A subscriber for that URL gets its publishing handler called for every
// progress published for the URL, also for those published before it
// subscribed; the handler may return an unpublishing handler, which is called
// once that progress is withdrawn.
//
// Handlers run on a thread of the service's choosing, one at a time, in the
// order of the publications and withdrawals that caused them; a handler that
// blocks holds up the others. URLs are matched by their paths as given;
// publishers and subscribers pass URLs with symbolic links resolved.
class FileProgressService {
public:
    using UnpublishingHandler = std::function<void()>;
    // Returns an empty function when it wants no word of the withdrawal.
    using PublishingHandler = std::function<UnpublishingHandler(const ProgressPtr&)>;

    struct Subscriber;
    struct Publication;
    using SubscriberToken = std::shared_ptr<Subscriber>;
    using PublicationToken = std::shared_ptr<Publication>;

    FileProgressService();
    ~FileProgressService();
    FileProgressService(const FileProgressService&) = delete;
    FileProgressService& operator=(const FileProgressService&) = delete;

    // The process's service.
    static const std::shared_ptr<FileProgressService>& shared();

    SubscriberToken addSubscriber(const URL& fileURL, PublishingHandler publishingHandler);
    // No handler of the subscriber is called once this returns, apart from
    // one that had already started.
    void removeSubscriber(const SubscriberToken& token);

    PublicationToken publish(const URL& fileURL, ProgressPtr progress);
    // Withdrawing twice does nothing the second time.
    void unpublish(const PublicationToken& token);

    // Subscribers and publications currently registered, for diagnostics.
    size_t subscriberCount() const;
    size_t publicationCount() const;

private:
    struct Registry;
    std::unique_ptr<Registry> registry_;
};

} // namespace tavik::progress
