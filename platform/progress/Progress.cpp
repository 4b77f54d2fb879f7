#include "platform/progress/Progress.hpp"

namespace tavik::progress {

Progress::Progress(int64_t totalUnitCount)
    : total_(totalUnitCount)
{
}

int64_t Progress::totalUnitCount() const
{
    std::lock_guard lock(mutex_);
    return total_;
}

int64_t Progress::completedUnitCount() const
{
    std::lock_guard lock(mutex_);
    return completed_;
}

void Progress::setTotalUnitCount(int64_t count)
{
    std::lock_guard lock(mutex_);
    total_ = count;
}

void Progress::setCompletedUnitCount(int64_t count)
{
    std::lock_guard lock(mutex_);
    completed_ = count;
}

double Progress::fractionCompleted() const
{
    std::lock_guard lock(mutex_);
    if (total_ <= 0)
        return 0.0;
    return static_cast<double>(completed_) / static_cast<double>(total_);
}

} // namespace tavik::progress
