#pragma once

// Checks of the rules about which queue code runs on.
//
// - Code that must run on one queue states it at its top with
//   TAVIK_ASSERT_ON_QUEUE(queue), checked in builds without NDEBUG.
// - A sync that could never start stops the program with a message naming
//   the queue, in every build, where it would otherwise hang for good: a sync
//   onto a serial queue, or a syncBarrier onto a concurrent one, from inside
//   that queue's own work, directly or through other queues' sync.

#include "platform/dispatch/DispatchQueue.hpp"

namespace tavik::dispatch {

// Stops the program with a message naming both queues unless the calling
// thread runs a work item of `queue`.
void assertCurrent(const DispatchQueue& queue);

} // namespace tavik::dispatch

// `queue` is a pointer to the queue (or a QueuePtr).
#ifdef NDEBUG
#define TAVIK_ASSERT_ON_QUEUE(queue) ((void)sizeof((queue)->isCurrent()))
#else
#define TAVIK_ASSERT_ON_QUEUE(queue) (::tavik::dispatch::assertCurrent(*(queue)))
#endif
