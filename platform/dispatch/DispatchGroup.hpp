#pragma once

#include "platform/dispatch/DispatchQueue.hpp"

#include <chrono>
#include <memory>

namespace tavik::dispatch {

// Counts outstanding work. Copies share one count, like a reference.
class DispatchGroup {
public:
    DispatchGroup();

    void enter() const;
    // Leaving more often than entering is a programming error and aborts.
    void leave() const;
    void wait() const;
    // Returns false when the time ran out before the group emptied.
    bool waitFor(std::chrono::nanoseconds timeout) const;
    // Runs the work on the queue once the group is empty (at once if it is).
    void notify(const QueuePtr& queue, Work work) const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace tavik::dispatch
