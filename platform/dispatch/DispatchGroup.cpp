#include "platform/dispatch/DispatchGroup.hpp"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

namespace tavik::dispatch {

struct DispatchGroup::State {
    std::mutex mutex;
    std::condition_variable emptied;
    long count = 0;
    std::vector<std::pair<QueuePtr, Work>> notifications;
};

DispatchGroup::DispatchGroup()
    : state_(std::make_shared<State>())
{
}

void DispatchGroup::enter() const
{
    std::lock_guard lock(state_->mutex);
    ++state_->count;
}

void DispatchGroup::leave() const
{
    std::vector<std::pair<QueuePtr, Work>> due;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count == 0) {
            std::fputs("DispatchGroup: unbalanced call to leave()\n", stderr);
            std::abort();
        }
        if (--state_->count > 0)
            return;
        due.swap(state_->notifications);
        state_->emptied.notify_all();
    }
    for (auto& [queue, work] : due)
        queue->async(std::move(work));
}

void DispatchGroup::wait() const
{
    std::unique_lock lock(state_->mutex);
    state_->emptied.wait(lock, [this] { return state_->count == 0; });
}

bool DispatchGroup::waitFor(std::chrono::nanoseconds timeout) const
{
    std::unique_lock lock(state_->mutex);
    return state_->emptied.wait_for(lock, timeout, [this] { return state_->count == 0; });
}

void DispatchGroup::notify(const QueuePtr& queue, Work work) const
{
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count > 0) {
            state_->notifications.emplace_back(queue, std::move(work));
            return;
        }
    }
    queue->async(std::move(work));
}

} // namespace tavik::dispatch
