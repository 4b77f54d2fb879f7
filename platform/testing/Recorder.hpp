#pragma once

#include "platform/testing/Eventually.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

namespace tavik::testing {

// What a callback under test reported, in order, from any thread.
template <class T>
class Recorder {
public:
    void add(T value)
    {
        std::lock_guard lock(mutex_);
        values_.push_back(std::move(value));
    }
    std::vector<T> all() const
    {
        std::lock_guard lock(mutex_);
        return values_;
    }
    // All so far, once there are at least `count` of them (or the wait gave
    // up, which the caller's check of the values shows).
    std::vector<T> waitFor(size_t count) const
    {
        eventually([&] { return all().size() >= count; });
        return all();
    }
    // How often `value` was reported so far.
    size_t count(const T& value) const
    {
        std::lock_guard lock(mutex_);
        return static_cast<size_t>(std::count(values_.begin(), values_.end(), value));
    }
    // Waits until `value` was reported at least `times` times; false when the wait gave up.
    bool waitUntilCounted(const T& value, size_t times = 1) const
    {
        return eventually([&] { return count(value) >= times; });
    }

private:
    mutable std::mutex mutex_;
    std::vector<T> values_;
};

} // namespace tavik::testing
