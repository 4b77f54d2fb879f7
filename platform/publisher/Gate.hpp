#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace tavik::publisher {

// Calls one receiver, one value at a time, until closed.
//
// - A value sent while another thread is calling the receiver is not waited
//   for: it is queued, and that thread delivers it right after the value in
//   hand, in order. So no sender ever waits on another thread's receiver
//   (which may itself be waiting for the sender).
// - A value sent from inside the receiver, on its own thread, is delivered
//   at once (nested), as a plain call would be.
// - A value with a version is dropped when a newer one already came through.
// - Once close() has returned, the receiver is not called again; close()
//   waits for a call in progress on another thread (not for one on its own).
template <class T>
class Gate {
public:
    using Receiver = std::function<void(const T&)>;

    explicit Gate(Receiver receiver)
        : receive_(std::move(receiver))
    {
    }

    void deliver(const T& value, std::optional<uint64_t> version = std::nullopt)
    {
        {
            std::lock_guard lock(mutex_);
            if (closed_)
                return;
            if (version) {
                if (lastVersion_ && *version <= *lastVersion_)
                    return;
                lastVersion_ = version;
            }
            if (deliveringThread_ && *deliveringThread_ != std::this_thread::get_id()) {
                queued_.push_back(value);
                return;
            }
            if (deliveringThread_) {
                // Nested on the delivering thread.
                ++nesting_;
            } else {
                deliveringThread_ = std::this_thread::get_id();
            }
        }
        receive_(value);
        std::unique_lock lock(mutex_);
        if (nesting_ > 0) {
            --nesting_;
            return;
        }
        while (!closed_ && !queued_.empty()) {
            T next = std::move(queued_.front());
            queued_.pop_front();
            lock.unlock();
            receive_(next);
            lock.lock();
        }
        queued_.clear();
        deliveringThread_.reset();
        idle_.notify_all();
    }

    void close()
    {
        // The receiver itself stays: it may be the caller of close().
        std::unique_lock lock(mutex_);
        closed_ = true;
        queued_.clear();
        idle_.wait(lock, [this] { return !deliveringThread_ || *deliveringThread_ == std::this_thread::get_id(); });
    }

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    bool closed_ = false;
    std::optional<uint64_t> lastVersion_;
    std::optional<std::thread::id> deliveringThread_;
    unsigned nesting_ = 0;
    std::deque<T> queued_;
    Receiver receive_;
};

} // namespace tavik::publisher
