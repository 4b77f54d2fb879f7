#pragma once

// What calls to the disk image service answered, collected from the threads
// the answers arrive on. Used by the tests of the client connection and of
// the service itself.
#include "platform/testing/Eventually.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"
#include "service-protocol/DuvrinXPCServiceProtocol.hpp"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace tavik::service::testing {

class Replies {
public:
    struct Reply {
        std::optional<URL> url;
        ErrorPtr error;
    };

    MountDMGResponse mountResponse()
    {
        return [this](std::optional<URL> url, ErrorPtr error) { add(replies_, Reply {std::move(url), std::move(error)}); };
    }
    UnmountDMGResponse unmountResponse()
    {
        return [this](ErrorPtr error) { add(replies_, Reply {std::nullopt, std::move(error)}); };
    }
    ServiceErrorHandler errorHandler()
    {
        return [this](ErrorPtr error) { add(handlerErrors_, std::move(error)); };
    }

    // Waits until at least `count` replies and handler calls have arrived.
    bool waitFor(size_t count, std::chrono::milliseconds timeout = tavik::testing::eventuallyTimeout)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return replies_.size() + handlerErrors_.size() >= count; });
    }
    std::vector<Reply> replies() const
    {
        std::lock_guard lock(mutex_);
        return replies_;
    }
    std::vector<ErrorPtr> handlerErrors() const
    {
        std::lock_guard lock(mutex_);
        return handlerErrors_;
    }

private:
    template <class Item>
    void add(std::vector<Item>& items, Item item)
    {
        std::lock_guard lock(mutex_);
        items.push_back(std::move(item));
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Reply> replies_;
    std::vector<ErrorPtr> handlerErrors_;
};

} // namespace tavik::service::testing
