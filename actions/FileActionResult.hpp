#pragma once

#include "platform/foundation/Error.hpp"

#include <functional>
#include <type_traits>
#include <utility>
#include <variant>

namespace tavik::actions {

// The cases of what became of an input; they depend only on the output
// type, so a result can be re-keyed to another input.
template <class O>
struct MappedAction {
    O output;
};
struct FailureAction {
    ErrorPtr error;
};
struct IgnoredAction {};

template <class O>
using ResultAction = std::variant<MappedAction<O>, FailureAction, IgnoredAction>;

// The single report of one run of a file action: the input it was given and
// what became of it.
template <class I, class O>
struct FileActionResult {
    using Input = I;
    using Output = O;

    using Mapped = MappedAction<O>;
    using Failure = FailureAction;
    using Ignored = IgnoredAction;
    using Action = ResultAction<O>;

    I input;
    Action action;

    static FileActionResult mapped(I input, O output) { return {std::move(input), Mapped {std::move(output)}}; }
    static FileActionResult failure(I input, ErrorPtr error) { return {std::move(input), Failure {std::move(error)}}; }
    static FileActionResult ignored(I input) { return {std::move(input), Ignored {}}; }

    bool isMapped() const { return std::holds_alternative<Mapped>(action); }
    bool isFailure() const { return std::holds_alternative<Failure>(action); }
    bool isIgnored() const { return std::holds_alternative<Ignored>(action); }
    // The output of a mapped result, else null.
    const O* output() const
    {
        auto* mapped = std::get_if<Mapped>(&action);
        return mapped ? &mapped->output : nullptr;
    }
    // The error of a failure, else null.
    ErrorPtr error() const
    {
        auto* failure = std::get_if<Failure>(&action);
        return failure ? failure->error : nullptr;
    }

    // The same action reported against another input.
    template <class NewInput>
    FileActionResult<NewInput, O> withInput(NewInput newInput) const&
    {
        return {std::move(newInput), action};
    }
    template <class NewInput>
    FileActionResult<NewInput, O> withInput(NewInput newInput) &&
    {
        return {std::move(newInput), std::move(action)};
    }

    // A failure or ignored result carried over to another output type; only
    // valid when this result is not mapped.
    template <class NewOutput>
    FileActionResult<I, NewOutput> unmappedAs() &&
    {
        if (auto* failure = std::get_if<Failure>(&action))
            return FileActionResult<I, NewOutput>::failure(std::move(input), failure->error);
        return FileActionResult<I, NewOutput>::ignored(std::move(input));
    }
};

template <class I, class O>
using Completion = std::function<void(FileActionResult<I, O>)>;

} // namespace tavik::actions
