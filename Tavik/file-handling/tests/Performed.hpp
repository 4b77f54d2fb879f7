#pragma once

#include "actions/FileActionResult.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

namespace tavik::testing {

// Waits for the first result of an action, delivered on any thread; a result
// that comes after the waiter is gone is dropped.
template <class I, class O>
class ResultWaiter {
public:
    actions::Completion<I, O> completion()
    {
        return [state = state_](actions::FileActionResult<I, O> result) {
            std::lock_guard lock(state->mutex);
            if (!state->result) state->result.emplace(std::move(result));
            state->arrived.notify_all();
        };
    }
    // The first result; fails the calling test when none comes in time.
    std::optional<actions::FileActionResult<I, O>> wait(std::chrono::seconds timeout = std::chrono::seconds(180))
    {
        std::unique_lock lock(state_->mutex);
        if (!state_->arrived.wait_for(lock, timeout, [&] { return state_->result.has_value(); })) ADD_FAILURE() << "no result in time";
        return state_->result;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable arrived;
        std::optional<actions::FileActionResult<I, O>> result;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Performs the action and waits for its first result.
template <class Action>
auto performed(const Action& action, typename Action::Input input)
{
    ResultWaiter<typename Action::Input, typename Action::Output> waiter;
    action.perform(std::move(input), waiter.completion());
    return waiter.wait();
}

// The output of a mapped result; a failed test and nothing otherwise.
template <class I, class O>
std::optional<O> outputOf(const actions::FileActionResult<I, O>& result)
{
    if (result.output()) return *result.output();
    ADD_FAILURE() << "not mapped: " << (result.error() ? result.error()->description() : "ignored");
    return std::nullopt;
}
template <class I, class O>
std::optional<O> outputOf(const std::optional<actions::FileActionResult<I, O>>& result)
{
    return result ? outputOf(*result) : std::nullopt;
}

} // namespace tavik::testing
