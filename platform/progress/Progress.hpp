#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

namespace tavik::progress {

// How far some work on a file has come: completed units out of a total.
// Read and updated from any thread.
class Progress {
public:
    explicit Progress(int64_t totalUnitCount = 100);

    int64_t totalUnitCount() const;
    int64_t completedUnitCount() const;
    void setTotalUnitCount(int64_t count);
    void setCompletedUnitCount(int64_t count);
    // Completed over total; 0 while the total is not positive.
    double fractionCompleted() const;

private:
    mutable std::mutex mutex_;
    int64_t total_;
    int64_t completed_ = 0;
};

using ProgressPtr = std::shared_ptr<Progress>;

} // namespace tavik::progress
