#include "platform/dispatch/DelayedWork.hpp"

#include <condition_variable>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace tavik::dispatch::detail {

namespace {

using Clock = std::chrono::steady_clock;

struct Timed {
    Clock::time_point due;
    uint64_t sequence;
    QueuePtr queue;
    Work work;
    bool operator>(const Timed& other) const
    {
        return due != other.due ? due > other.due : sequence > other.sequence;
    }
};

class Timer {
public:
    void add(Clock::time_point due, QueuePtr queue, Work work)
    {
        std::lock_guard lock(mutex_);
        items_.push(Timed {due, nextSequence_++, std::move(queue), std::move(work)});
        if (!started_) {
            started_ = true;
            std::thread([this] { loop(); }).detach();
        }
        changed_.notify_one();
    }

private:
    void loop()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (items_.empty()) {
                changed_.wait(lock);
                continue;
            }
            auto due = items_.top().due;
            if (Clock::now() < due) {
                changed_.wait_until(lock, due);
                continue;
            }
            Timed item = std::move(const_cast<Timed&>(items_.top()));
            items_.pop();
            lock.unlock();
            item.queue->async(std::move(item.work));
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::priority_queue<Timed, std::vector<Timed>, std::greater<>> items_;
    uint64_t nextSequence_ = 0;
    bool started_ = false;
};

} // namespace

void scheduleAfter(std::chrono::nanoseconds delay, QueuePtr queue, Work work)
{
    static auto* timer = new Timer(); // never destroyed: its thread outlives main()
    timer->add(Clock::now() + delay, std::move(queue), std::move(work));
}

} // namespace tavik::dispatch::detail
