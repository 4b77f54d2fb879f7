#pragma once

#include "actions/FileAction.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

namespace tavik::actions::testing {

inline ErrorPtr testError(std::string name) { return GenericError::make("Test", 1, std::move(name)); }

// An action defined by a function from the input to its result, completing
// synchronously or after a random short delay on the global queue; it counts
// how often it was started.
template <class I, class O>
class ScriptedAction : public FileActionBuilders<ScriptedAction<I, O>> {
public:
    using Input = I;
    using Output = O;
    enum class Timing {
        synchronous,
        elsewhere
    };

    explicit ScriptedAction(std::function<FileActionResult<I, O>(I)> script, Timing timing = Timing::synchronous)
        : script_(std::move(script))
        , timing_(timing)
    {
    }

    void perform(I input, Completion<I, O> completion) const
    {
        ++*starts_;
        if (timing_ == Timing::synchronous) return completion(script_(std::move(input)));
        thread_local std::mt19937 random(std::random_device {}());
        auto delay = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 2000)(random));
        dispatch::DispatchQueue::global()->asyncAfter(delay, [script = script_, input = std::move(input), completion = std::move(completion)]() mutable { completion(script(std::move(input))); });
    }
    int starts() const { return *starts_; }

private:
    std::function<FileActionResult<I, O>(I)> script_;
    Timing timing_;
    std::shared_ptr<std::atomic<int>> starts_ = std::make_shared<std::atomic<int>>(0);
};

// Records every completion of one run and lets the test wait for the first.
template <class R>
class CompletionRecorder {
public:
    std::function<void(R)> completion()
    {
        return [state = state_](R result) {
            std::lock_guard lock(state->mutex);
            if (state->count++ == 0) state->result.emplace(std::move(result));
            state->changed.notify_all();
        };
    }
    // The first result, waiting up to ten seconds for it.
    const R& result()
    {
        std::unique_lock lock(state_->mutex);
        if (!state_->changed.wait_for(lock, std::chrono::seconds(10), [&] { return state_->result.has_value(); })) throw std::runtime_error("no completion within ten seconds");
        return *state_->result;
    }
    int count() const
    {
        std::lock_guard lock(state_->mutex);
        return state_->count;
    }
    // Waits a little for stray extra completions, then tells how many came.
    int settledCount()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return count();
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        int count = 0;
        std::optional<R> result;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

} // namespace tavik::actions::testing
