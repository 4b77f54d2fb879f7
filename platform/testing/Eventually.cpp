#include "platform/testing/Eventually.hpp"

#include <thread>

namespace tavik::testing {

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::milliseconds(1);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(pause);
        // Quick for what is nearly there, without spinning on what is not.
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace tavik::testing
