#pragma once

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/MainRunLoop.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace tavik::dispatch::detail {

// The items of the main queue that are ready to run, waiting for the
// MainRunLoop (or the installed forwarder) to run them.
class MainQueue {
public:
    static MainQueue& shared();

    void post(Work work);
    void setForwarder(MainRunLoop::Forwarder forwarder);
    void stop();
    // Returns true when it returned because stop() was called.
    bool runUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline,
        std::chrono::nanoseconds pollInterval);
    bool runOneIfReady();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Work> ready_;
    MainRunLoop::Forwarder forwarder_;
    bool stopRequested_ = false;
};

} // namespace tavik::dispatch::detail
