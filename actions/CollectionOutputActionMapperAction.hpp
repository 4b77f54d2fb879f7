#pragma once

#include "actions/ActionsLog.hpp"
#include "actions/FileAction.hpp"
#include "platform/dispatch/DispatchGroup.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace tavik::actions {

// What a decision handler says about one element of the collection.
enum class ContinueDecision {
    continue_, // run the second action on the element
    ignore, // skip the element
};

std::string describe(const Result<ContinueDecision>& decision);

// Runs the second action on every element of the collection the first action
// produced, all started at once. Blocks the thread that delivered the first
// result until every element is finished, then reports one result per
// element, in the order the outcomes arrived.
template <class First, class Second>
class CollectionOutputActionMapperAction : public FileActionBuilders<CollectionOutputActionMapperAction<First, Second>> {
public:
    using Collection = typename First::Output;
    using Element = typename Collection::value_type;
    static_assert(std::same_as<typename Second::Input, Element>,
        "the second action must take an element of the first one's output");

    using Input = typename First::Input;
    using ElementResult = FileActionResult<Element, typename Second::Output>;
    using Output = std::vector<ElementResult>;
    using DecisionCallback = std::function<void(Result<ContinueDecision>)>;
    using ContinueDecisionHandler = std::function<void(const Element&, const Collection&, DecisionCallback)>;

    CollectionOutputActionMapperAction(First firstAction, Second secondAction,
        ContinueDecisionHandler continueDecisionHandler = nullptr,
        log::Logger log = actionsLog("Collection Output Mapper"))
        : firstAction(std::move(firstAction))
        , secondAction(std::move(secondAction))
        , continueDecisionHandler(std::move(continueDecisionHandler))
        , log(std::move(log))
    {
    }

    void perform(Input input, Completion<Input, Output> completion) const
    {
        firstAction.perform(std::move(input),
            [self = *this, completion = std::move(completion)](FileActionResult<Input, Collection> first) mutable {
                if (!first.isMapped()) {
                    completion(std::move(first).template unmappedAs<Output>());
                    return;
                }
                completion(FileActionResult<Input, Output>::mapped(std::move(first.input), self.mapElements(*first.output())));
            });
    }

    First firstAction;
    Second secondAction;
    ContinueDecisionHandler continueDecisionHandler;
    log::Logger log;

private:
    struct Run {
        std::mutex mutex;
        Output results;
        dispatch::DispatchGroup group;

        void append(ElementResult result)
        {
            {
                std::lock_guard lock(mutex);
                results.push_back(std::move(result));
            }
            group.leave();
        }
    };

    Output mapElements(const Collection& collection) const
    {
        log.info("First action produced a collection with {} element(s)", collection.size());
        auto run = std::make_shared<Run>();
        for (const Element& element : collection) {
            run->group.enter();
            if (!continueDecisionHandler) {
                startSecondAction(element, run);
                continue;
            }
            // Each element leaves the group once, however often a faulty
            // handler answers.
            auto answered = std::make_shared<std::atomic<bool>>(false);
            continueDecisionHandler(element, collection,
                [self = *this, element, run, answered](Result<ContinueDecision> decision) {
                    if (answered->exchange(true)) {
                        self.log.fault("Decision handler answered more than once");
                        return;
                    }
                    self.log.info("Decision handler decided to {}", describe(decision));
                    if (!decision)
                        run->append(ElementResult::failure(element, decision.error()));
                    else if (*decision == ContinueDecision::ignore)
                        run->append(ElementResult::ignored(element));
                    else
                        self.startSecondAction(element, run);
                });
        }
        run->group.wait();
        std::lock_guard lock(run->mutex);
        return std::move(run->results);
    }

    void startSecondAction(const Element& element, const std::shared_ptr<Run>& run) const
    {
        secondAction.perform(element, [log = log, run](ElementResult result) {
            log.info("Got a result from the second action");
            run->append(std::move(result));
        });
    }
};

inline std::string describe(const Result<ContinueDecision>& decision)
{
    if (!decision)
        return "fail: " + decision.error()->description();
    return *decision == ContinueDecision::continue_ ? "continue" : "ignore";
}

} // namespace tavik::actions
