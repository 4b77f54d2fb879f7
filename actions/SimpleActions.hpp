#pragma once

#include "actions/ActionsLog.hpp"
#include "actions/FileAction.hpp"

#include <optional>
#include <vector>

namespace tavik::actions {

// Maps the input through a function; always mapped, completes synchronously.
template <class I, class O>
class TransformAction : public FileActionBuilders<TransformAction<I, O>> {
public:
    using Input = I;
    using Output = O;

    explicit TransformAction(std::function<O(const I&)> transformer, log::Logger log = actionsLog("Map"))
        : transformer(std::move(transformer))
        , log(std::move(log))
    {
    }

    void perform(I input, Completion<I, O> completion) const
    {
        O output = transformer(input);
        completion(FileActionResult<I, O>::mapped(std::move(input), std::move(output)));
    }

    std::function<O(const I&)> transformer;
    log::Logger log;
};

// Reports its input as its output; the first step of a chain.
template <class I>
class PassthroughAction : public FileActionBuilders<PassthroughAction<I>> {
public:
    using Input = I;
    using Output = I;

    void perform(I input, Completion<I, I> completion) const
    {
        I output = input;
        completion(FileActionResult<I, I>::mapped(std::move(input), std::move(output)));
    }
};

// Maps every element of an array, keeping the elements the mapper yields
// something for, in order; always mapped, completes synchronously.
template <class E, class M>
class CompactMapAction : public FileActionBuilders<CompactMapAction<E, M>> {
public:
    using Input = std::vector<E>;
    using Output = std::vector<M>;

    explicit CompactMapAction(std::function<std::optional<M>(const E&)> mapper, log::Logger log = actionsLog("Compact Map"))
        : mapper(std::move(mapper))
        , log(std::move(log))
    {
    }

    void perform(Input input, Completion<Input, Output> completion) const
    {
        Output kept;
        for (const E& element : input) {
            if (auto mapped = mapper(element))
                kept.push_back(std::move(*mapped));
        }
        completion(FileActionResult<Input, Output>::mapped(std::move(input), std::move(kept)));
    }

    std::function<std::optional<M>(const E&)> mapper;
    log::Logger log;
};

} // namespace tavik::actions
