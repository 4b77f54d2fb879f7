#pragma once

#include "platform/dispatch/DispatchQueue.hpp"

#include <chrono>
#include <functional>

namespace tavik::dispatch {

// Runs the main queue's work items on the calling thread. A headless program
// calls run() from main(); a test calls runUntil(). A GUI toolkit that owns
// the main thread installs a forwarder instead, which receives every main
// queue item and must run it on its own main thread.
class MainRunLoop {
public:
    // Runs items until stop() is called.
    static void run();
    static void stop();
    // Runs items until the predicate holds (checked after each item and on
    // wake-ups) or the time runs out; returns whether the predicate held.
    static bool runUntil(const std::function<bool()>& done, std::chrono::nanoseconds timeout);
    // Runs items until the queue is empty.
    static void drain();

    using Forwarder = std::function<void(Work)>;
    static void setForwarder(Forwarder forwarder);
};

} // namespace tavik::dispatch
