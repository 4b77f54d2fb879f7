#pragma once

#include "actions/FileAction.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/testing/Recorder.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>

namespace tavik::testing {

inline ErrorPtr testError(std::string name) { return GenericError::make("Test", 1, std::move(name)); }

// Whether a scripted action completes at once or later on another thread.
enum class ScriptedTiming {
    synchronous,
    elsewhere
};

// An action given by a function of its input, completing synchronously or after
// a random short delay on the global queue; it counts its starts.
template <class I, class O>
class ScriptedAction : public actions::FileActionBuilders<ScriptedAction<I, O>> {
public:
    using Input = I;
    using Output = O;
    using Timing = ScriptedTiming;

    explicit ScriptedAction(std::function<actions::FileActionResult<I, O>(I)> script, Timing timing = Timing::synchronous)
        : script_(std::move(script))
        , timing_(timing)
    {
    }

    void perform(I input, actions::Completion<I, O> completion) const
    {
        ++*starts_;
        if (timing_ == Timing::synchronous) return completion(script_(std::move(input)));
        thread_local std::mt19937 random(std::random_device {}());
        auto delay = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 2000)(random));
        dispatch::DispatchQueue::global()->asyncAfter(delay, [script = script_, input = std::move(input), completion = std::move(completion)]() mutable { completion(script(std::move(input))); });
    }
    int starts() const { return *starts_; }

private:
    std::function<actions::FileActionResult<I, O>(I)> script_;
    Timing timing_;
    std::shared_ptr<std::atomic<int>> starts_ = std::make_shared<std::atomic<int>>(0);
};

// n mapped to 0, 1, ..., n - 1.
inline ScriptedAction<int, std::vector<int>> counting(ScriptedTiming timing)
{
    return ScriptedAction<int, std::vector<int>>([](int count) {
        std::vector<int> numbers(count);
        std::iota(numbers.begin(), numbers.end(), 0);
        return actions::FileActionResult<int, std::vector<int>>::mapped(count, numbers);
    },
        timing);
}

// Records every completion of one run, from any thread (also after it is gone), and waits for the first.
template <class R>
class CompletionRecorder {
public:
    std::function<void(R)> completion() const
    {
        return [results = results_](R result) { results->add(std::move(result)); };
    }
    // The first result; a failed test and nothing when none comes in time.
    const std::optional<R>& wait()
    {
        if (!first_) {
            auto results = results_->waitFor(1);
            if (results.empty())
                ADD_FAILURE() << "no result in time";
            else
                first_.emplace(std::move(results.front()));
        }
        return first_;
    }
    const R& result()
    {
        if (!wait()) throw std::runtime_error("no result in time");
        return *first_;
    }
    size_t count() const { return results_->all().size(); }
    // Waits a little for stray extra completions, then tells how many came.
    size_t settledCount() const
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return count();
    }

private:
    std::shared_ptr<Recorder<R>> results_ = std::make_shared<Recorder<R>>();
    std::optional<R> first_;
};

template <class I, class O>
using ResultWaiter = CompletionRecorder<actions::FileActionResult<I, O>>;

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
std::optional<O> outputOf(const std::optional<actions::FileActionResult<I, O>>& result)
{
    if (result && result->output()) return *result->output();
    ADD_FAILURE() << "not mapped: " << (!result ? "no result" : result->error() ? result->error()->description()
                                                                                : "ignored");
    return std::nullopt;
}

} // namespace tavik::testing
