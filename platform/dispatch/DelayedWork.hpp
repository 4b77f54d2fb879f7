#pragma once

#include "platform/dispatch/DispatchQueue.hpp"

#include <chrono>

namespace tavik::dispatch::detail {

// One timer thread for every delayed item; at its time the item is put on
// its queue with async.
void scheduleAfter(std::chrono::nanoseconds delay, QueuePtr queue, Work work);

} // namespace tavik::dispatch::detail
