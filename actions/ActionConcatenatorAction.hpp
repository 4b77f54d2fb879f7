#pragma once

#include "actions/ActionsLog.hpp"
#include "actions/FileAction.hpp"

namespace tavik::actions {

// Runs the second action on the first one's output. A failed or ignored
// first step ends the run without starting the second.
template <class First, class Second>
class ActionConcatenatorAction : public FileActionBuilders<ActionConcatenatorAction<First, Second>> {
    static_assert(std::same_as<typename Second::Input, typename First::Output>,
        "the second action must take the first one's output");

public:
    using Input = typename First::Input;
    using Output = typename Second::Output;

    ActionConcatenatorAction(First firstAction, Second secondAction, log::Logger log = actionsLog("Collection Output Mapper"))
        : firstAction(std::move(firstAction))
        , secondAction(std::move(secondAction))
        , log(std::move(log))
    {
    }

    void perform(Input input, Completion<Input, Output> completion) const
    {
        firstAction.perform(std::move(input),
            [secondAction = secondAction, completion = std::move(completion)](
                FileActionResult<Input, typename First::Output> first) mutable {
                if (!first.isMapped()) {
                    completion(std::move(first).template unmappedAs<Output>());
                    return;
                }
                auto& mapped = std::get<typename decltype(first)::Mapped>(first.action);
                secondAction.perform(std::move(mapped.output),
                    [input = std::move(first.input), completion = std::move(completion)](
                        FileActionResult<typename Second::Input, Output> second) mutable {
                        completion(std::move(second).withInput(std::move(input)));
                    });
            });
    }

    First firstAction;
    Second secondAction;
    log::Logger log;
};

} // namespace tavik::actions
