#include "platform/dispatch/MainRunLoop.hpp"

#include "platform/dispatch/MainQueue.hpp"

#include <algorithm>

namespace tavik::dispatch {

namespace detail {

MainQueue& MainQueue::shared()
{
    static auto* queue = new MainQueue(); // never destroyed: posted to until exit
    return *queue;
}

void MainQueue::post(Work work)
{
    std::unique_lock lock(mutex_);
    if (forwarder_) {
        auto forwarder = forwarder_;
        lock.unlock();
        forwarder(std::move(work));
        return;
    }
    ready_.push_back(std::move(work));
    changed_.notify_all();
}

void MainQueue::setForwarder(MainRunLoop::Forwarder forwarder)
{
    std::deque<Work> waiting;
    {
        std::lock_guard lock(mutex_);
        forwarder_ = std::move(forwarder);
        if (forwarder_)
            waiting.swap(ready_);
    }
    for (auto& work : waiting)
        forwarder_(std::move(work));
}

void MainQueue::stop()
{
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    changed_.notify_all();
}

bool MainQueue::runOneIfReady()
{
    Work work;
    {
        std::lock_guard lock(mutex_);
        if (ready_.empty())
            return false;
        work = std::move(ready_.front());
        ready_.pop_front();
    }
    work();
    return true;
}

bool MainQueue::runUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline,
    std::chrono::nanoseconds pollInterval)
{
    for (;;) {
        while (runOneIfReady()) {
            if (done())
                return false;
        }
        if (done())
            return false;
        std::unique_lock lock(mutex_);
        if (stopRequested_) {
            stopRequested_ = false;
            return true;
        }
        if (ready_.empty()) {
            // The predicate may turn true on another thread without any item
            // arriving, so look at it again now and then.
            auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
                return false;
            changed_.wait_until(lock, std::min(deadline, now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(pollInterval)));
        }
    }
}

} // namespace detail

void MainRunLoop::run()
{
    auto never = [] { return false; };
    while (!detail::MainQueue::shared().runUntil(never, std::chrono::steady_clock::now() + std::chrono::hours(1), std::chrono::hours(1))) {
    }
}

void MainRunLoop::stop()
{
    detail::MainQueue::shared().stop();
}

bool MainRunLoop::runUntil(const std::function<bool()>& done, std::chrono::nanoseconds timeout)
{
    detail::MainQueue::shared().runUntil(done, std::chrono::steady_clock::now() + timeout, std::chrono::milliseconds(5));
    return done();
}

void MainRunLoop::drain()
{
    while (detail::MainQueue::shared().runOneIfReady()) {
    }
}

void MainRunLoop::setForwarder(Forwarder forwarder)
{
    detail::MainQueue::shared().setForwarder(std::move(forwarder));
}

} // namespace tavik::dispatch
