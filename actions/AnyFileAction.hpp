#pragma once

#include "actions/FileAction.hpp"

#include <memory>

namespace tavik::actions {

// A file action with its concrete type erased. The wrapped action lives in a
// shared box; copies of an AnyFileAction share it.
template <class I, class O>
class AnyFileAction : public FileActionBuilders<AnyFileAction<I, O>> {
public:
    using Input = I;
    using Output = O;
    using PerformActionWrapper = std::function<void(I, Completion<I, O>)>;

    template <FileAction Action>
    requires(!std::same_as<Action, AnyFileAction> && std::same_as<typename Action::Input, I> && std::same_as<typename Action::Output, O>) explicit AnyFileAction(Action action)
        : performActionWrapper([box = std::make_shared<const Action>(std::move(action))](I input, Completion<I, O> completion) {
            box->perform(std::move(input), std::move(completion));
        })
    {
    }

    // An action made directly from its perform function.
    explicit AnyFileAction(PerformActionWrapper wrapper)
        : performActionWrapper(std::move(wrapper))
    {
    }

    void perform(I input, Completion<I, O> completion) const
    {
        performActionWrapper(std::move(input), std::move(completion));
    }

    PerformActionWrapper performActionWrapper;
};

} // namespace tavik::actions
