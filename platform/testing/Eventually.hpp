#pragma once

#include <chrono>
#include <functional>

namespace tavik::testing {

// Long enough for a loaded machine under the sanitizers; a condition that
// holds ends the wait at once, so only failing tests pay it.
inline constexpr std::chrono::milliseconds eventuallyTimeout = std::chrono::seconds(60);

// Polls the condition until it holds (true) or the time is up (false).
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = eventuallyTimeout);

} // namespace tavik::testing
