#pragma once

#include "platform/dispatch/DispatchQueue.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace tavik::dispatch::detail {

// The threads behind every non-main queue. A submitted item goes to an idle
// thread if there is one, else to a new thread, so an item never waits for
// a blocked one. Threads that stay idle for a while exit.
class ThreadPool {
public:
    static ThreadPool& shared();
    void submit(Work work);

private:
    ThreadPool() = default;
    void workerLoop();

    std::mutex mutex_;
    std::condition_variable available_;
    std::deque<Work> tasks_;
    size_t idleThreads_ = 0;
};

} // namespace tavik::dispatch::detail
