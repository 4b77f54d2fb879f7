#pragma once

#include "platform/foundation/URL.hpp"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/types.h>

namespace tavik {

// A process the workspace started for an opened item. The workspace reaps
// it when it exits, so `isTerminated` turns true by itself and no zombie
// stays behind.
class RunningApplication {
public:
    using Clock = std::chrono::system_clock;

    RunningApplication(URL url, pid_t processIdentifier, Clock::time_point launchDate);
    RunningApplication(const RunningApplication&) = delete;
    RunningApplication& operator=(const RunningApplication&) = delete;

    // What was opened: the application bundle or the document.
    const URL& url() const { return url_; }
    pid_t processIdentifier() const { return processIdentifier_; }
    std::optional<Clock::time_point> launchDate() const { return launchDate_; }

    bool isTerminated() const;
    // The wait status of the ended process (as waitpid gives it), once terminated.
    std::optional<int> terminationStatus() const;
    // Blocks until the process has ended or the timeout passed; tells whether it ended.
    bool waitUntilTerminated(std::chrono::milliseconds timeout) const;

    // Called by the workspace's reaper when the process has ended.
    void markTerminated(int status);

private:
    URL url_;
    pid_t processIdentifier_;
    std::optional<Clock::time_point> launchDate_;
    mutable std::mutex mutex_;
    mutable std::condition_variable terminated_;
    std::optional<int> status_;
};

using RunningApplicationPtr = std::shared_ptr<RunningApplication>;

} // namespace tavik
