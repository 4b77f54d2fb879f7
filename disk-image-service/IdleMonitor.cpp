#include "disk-image-service/IdleMonitor.hpp"

namespace tavik::service {

void IdleMonitor::callStarted()
{
    std::lock_guard lock(mutex_);
    ++active_;
    lastActivity_ = std::chrono::steady_clock::now();
    changed_.notify_all();
}

void IdleMonitor::callEnded()
{
    std::lock_guard lock(mutex_);
    --active_;
    lastActivity_ = std::chrono::steady_clock::now();
    changed_.notify_all();
}

void IdleMonitor::busLost()
{
    std::lock_guard lock(mutex_);
    busLost_ = true;
    changed_.notify_all();
}

bool IdleMonitor::waitUntilIdle(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    for (;;) {
        if (busLost_)
            return false;
        if (active_ > 0) {
            changed_.wait(lock);
            continue;
        }
        auto deadline = lastActivity_ + timeout;
        if (std::chrono::steady_clock::now() >= deadline)
            return true;
        changed_.wait_until(lock, deadline);
    }
}

void IdleMonitor::waitForCalls()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return active_ == 0; });
}

} // namespace tavik::service
