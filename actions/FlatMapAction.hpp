#pragma once

#include "actions/ActionsLog.hpp"
#include "actions/FileAction.hpp"
#include "platform/dispatch/DispatchGroup.hpp"

#include <memory>
#include <mutex>

namespace tavik::actions {

// Maps every element of an array to an array, at once or by running an
// action, and reports all of them flattened into one array. Elements whose
// action fails or is ignored contribute nothing. Completes on the global queue.
template <class E, class O>
class FlatMapAction : public FileActionBuilders<FlatMapAction<E, O>> {
public:
    using Input = std::vector<E>;
    using Output = std::vector<O>;

    // What becomes of one element.
    class Action {
    public:
        using OutputElement = O;
        struct Transform {
            std::vector<O> output;
        };
        struct RunAction {
            AnyFileAction<E, std::vector<O>> action;
        };

        static Action transform(std::vector<O> output) { return Action(Transform {std::move(output)}); }
        static Action runAction(AnyFileAction<E, std::vector<O>> action) { return Action(RunAction {std::move(action)}); }

        std::variant<Transform, RunAction> value;

    private:
        explicit Action(std::variant<Transform, RunAction> v)
            : value(std::move(v))
        {
        }
    };

    using ActionProvider = std::function<Action(const E&)>;

    explicit FlatMapAction(ActionProvider actionProvider, log::Logger log = actionsLog("Flat Map"))
        : actionProvider(std::move(actionProvider))
        , log(std::move(log))
    {
    }

    void perform(Input input, Completion<Input, Output> completion) const
    {
        struct Run {
            std::mutex mutex;
            Output outputs;
            void append(const std::vector<O>& values)
            {
                std::lock_guard lock(mutex);
                outputs.insert(outputs.end(), values.begin(), values.end());
            }
        };
        auto run = std::make_shared<Run>();
        dispatch::DispatchGroup group;
        for (const E& element : input) {
            Action action = actionProvider(element);
            if (auto* transform = std::get_if<typename Action::Transform>(&action.value)) {
                run->append(transform->output);
                continue;
            }
            group.enter();
            std::get<typename Action::RunAction>(action.value).action.perform(element, [run, group](FileActionResult<E, std::vector<O>> result) {
                if (auto* values = result.output())
                    run->append(*values);
                group.leave();
            });
        }
        group.notify(dispatch::DispatchQueue::global(),
            [run, input = std::move(input), completion = std::move(completion)]() mutable {
                Output outputs;
                {
                    std::lock_guard lock(run->mutex);
                    outputs = std::move(run->outputs);
                }
                completion(FileActionResult<Input, Output>::mapped(std::move(input), std::move(outputs)));
            });
    }

    ActionProvider actionProvider;
    log::Logger log;
};

} // namespace tavik::actions
