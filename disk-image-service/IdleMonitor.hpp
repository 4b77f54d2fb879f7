#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tavik::service {

// Counts the calls in progress and tells when the service has been idle long
// enough to quit, or when it must quit because the bus went away.
class IdleMonitor {
public:
    void callStarted();
    void callEnded();
    void busLost();

    // Returns when no call has run for `timeout` (true), or when the bus was
    // lost (false).
    bool waitUntilIdle(std::chrono::milliseconds timeout);
    // Returns once no call is in progress.
    void waitForCalls();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int active_ = 0;
    bool busLost_ = false;
    std::chrono::steady_clock::time_point lastActivity_ = std::chrono::steady_clock::now();
};

} // namespace tavik::service
