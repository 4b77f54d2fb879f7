#pragma once

#include "actions/ActionsLog.hpp"
#include "actions/FileAction.hpp"

namespace tavik::actions {

// Continues from an earlier step's result: runs the second action on its
// output and reports against the whole earlier result. An earlier failure or
// ignored result is passed on without running the second action.
template <class EarlierInput, class EarlierOutput, class Second>
class FileActionMapAction : public FileActionBuilders<FileActionMapAction<EarlierInput, EarlierOutput, Second>> {
    static_assert(std::same_as<typename Second::Input, EarlierOutput>,
        "the second action must take the earlier step's output");

public:
    using Input = FileActionResult<EarlierInput, EarlierOutput>;
    using Output = typename Second::Output;

    explicit FileActionMapAction(Second secondAction, log::Logger log = actionsLog("File Action Map"))
        : secondAction(std::move(secondAction))
        , log(std::move(log))
    {
    }

    void perform(Input earlier, Completion<Input, Output> completion) const
    {
        const EarlierOutput* output = earlier.output();
        if (!output) {
            ErrorPtr error = earlier.error();
            if (error)
                completion(FileActionResult<Input, Output>::failure(std::move(earlier), std::move(error)));
            else
                completion(FileActionResult<Input, Output>::ignored(std::move(earlier)));
            return;
        }
        EarlierOutput value = *output;
        secondAction.perform(std::move(value),
            [earlier = std::move(earlier), completion = std::move(completion)](
                FileActionResult<EarlierOutput, Output> second) mutable {
                completion(std::move(second).withInput(std::move(earlier)));
            });
    }

    Second secondAction;
    log::Logger log;
};

} // namespace tavik::actions
