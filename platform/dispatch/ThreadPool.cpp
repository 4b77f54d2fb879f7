#include "platform/dispatch/ThreadPool.hpp"

#include <thread>

namespace tavik::dispatch::detail {

namespace {
constexpr auto idleThreadLifetime = std::chrono::seconds(5);
}

ThreadPool& ThreadPool::shared()
{
    // Never destroyed: detached workers may still wait on it at exit.
    static auto* pool = new ThreadPool();
    return *pool;
}

void ThreadPool::submit(Work work)
{
    std::unique_lock lock(mutex_);
    tasks_.push_back(std::move(work));
    if (idleThreads_ >= tasks_.size()) {
        available_.notify_one();
        return;
    }
    lock.unlock();
    std::thread([this] { workerLoop(); }).detach();
}

void ThreadPool::workerLoop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        if (tasks_.empty()) {
            ++idleThreads_;
            bool woke = available_.wait_for(lock, idleThreadLifetime, [this] { return !tasks_.empty(); });
            --idleThreads_;
            if (!woke)
                return;
        }
        Work work = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        work();
        work = nullptr; // release captures before counting as idle
        lock.lock();
    }
}

} // namespace tavik::dispatch::detail
