#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

namespace tavik::dispatch {

using Work = std::function<void()>;

// A queue of work items in the manner of libdispatch. Serial queues run one
// item at a time in order; concurrent queues run items side by side, except
// that a barrier item waits for everything before it and runs alone. The
// global queue is concurrent and grows threads on demand, so work items that
// block never starve the rest. The main queue runs on the thread that runs
// the MainRunLoop.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    virtual ~DispatchQueue() = default;

    static std::shared_ptr<DispatchQueue> makeSerial(std::string label);
    static std::shared_ptr<DispatchQueue> makeConcurrent(std::string label);
    // The global concurrent queue of default quality of service.
    static const std::shared_ptr<DispatchQueue>& global();
    static const std::shared_ptr<DispatchQueue>& main();

    virtual const std::string& label() const = 0;

    virtual void async(Work work) = 0;
    virtual void asyncBarrier(Work work) = 0;
    // Runs the work on this queue and returns when it is done. A sync that
    // could never start stops the program instead (see QueueAssertion.hpp).
    virtual void sync(const Work& work) = 0;
    virtual void syncBarrier(const Work& work) = 0;
    void asyncAfter(std::chrono::nanoseconds delay, Work work);

    template <class F>
    requires(!std::is_void_v<std::invoke_result_t<F&>>) auto sync(F&& f) -> std::invoke_result_t<F&>
    {
        std::optional<std::invoke_result_t<F&>> value;
        sync(Work([&] { value.emplace(f()); }));
        return std::move(*value);
    }

    template <class F>
    requires(!std::is_void_v<std::invoke_result_t<F&>>) auto syncBarrier(F&& f) -> std::invoke_result_t<F&>
    {
        std::optional<std::invoke_result_t<F&>> value;
        syncBarrier(Work([&] { value.emplace(f()); }));
        return std::move(*value);
    }

    // True while the calling thread runs a work item of this queue.
    virtual bool isCurrent() const = 0;
};

using QueuePtr = std::shared_ptr<DispatchQueue>;

} // namespace tavik::dispatch
