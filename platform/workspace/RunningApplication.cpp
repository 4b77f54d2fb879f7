#include "platform/workspace/RunningApplication.hpp"

namespace tavik {

RunningApplication::RunningApplication(URL url, pid_t processIdentifier, Clock::time_point launchDate)
    : url_(std::move(url))
    , processIdentifier_(processIdentifier)
    , launchDate_(launchDate)
{
}

bool RunningApplication::isTerminated() const
{
    std::lock_guard lock(mutex_);
    return status_.has_value();
}

std::optional<int> RunningApplication::terminationStatus() const
{
    std::lock_guard lock(mutex_);
    return status_;
}

bool RunningApplication::waitUntilTerminated(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return terminated_.wait_for(lock, timeout, [&] { return status_.has_value(); });
}

void RunningApplication::markTerminated(int status)
{
    {
        std::lock_guard lock(mutex_);
        status_ = status;
    }
    terminated_.notify_all();
}

} // namespace tavik
