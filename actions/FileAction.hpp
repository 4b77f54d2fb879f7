#pragma once

// The file action abstraction and the builders that chain actions:
//   search.mapEach(extract).flatMap(provider).then(copy)
// Including this header makes every combinator available.

#include "actions/FileActionResult.hpp"
#include "platform/foundation/Result.hpp"

#include <concepts>
#include <functional>
#include <optional>
#include <type_traits>
#include <vector>

namespace tavik::actions {

// An asynchronous step with a typed input and output. perform starts the work
// and calls the completion exactly once, on any thread, with the result.
template <class A>
concept FileAction = requires(const A& action, typename A::Input input,
    Completion<typename A::Input, typename A::Output> completion)
{
    action.perform(std::move(input), std::move(completion));
};

template <class I, class O>
class AnyFileAction;
template <class I, class O>
class TransformAction;
template <class E, class M>
class CompactMapAction;
template <class First, class Second>
class ActionConcatenatorAction;
template <class First, class Second>
class CollectionOutputActionMapperAction;
template <class E, class O>
class FlatMapAction;
template <class EarlierInput, class EarlierOutput, class Second>
class FileActionMapAction;

namespace detail {
template <class T>
struct VectorElement;
template <class E, class Allocator>
struct VectorElement<std::vector<E, Allocator>> {
    using type = E;
};
template <class T>
struct OptionalValue;
template <class V>
struct OptionalValue<std::optional<V>> {
    using type = V;
};
template <class T>
struct EarlierResult;
template <class I, class O>
struct EarlierResult<FileActionResult<I, O>> {
    using Input = I;
    using Output = O;
};
} // namespace detail

// The builder operations every action offers. Each concrete action derives
// from this with itself as the argument.
template <class Derived>
class FileActionBuilders {
public:
    // This action, then the second on its output; erased.
    template <FileAction Second>
    auto then(Second second) const
    {
        using Input = typename Derived::Input;
        return AnyFileAction<Input, typename Second::Output>(
            ActionConcatenatorAction<Derived, Second>(self(), std::move(second)));
    }

    // This action, then a transformation of its output.
    template <class Transformer>
    auto map(Transformer transformer) const
    {
        using Output = typename Derived::Output;
        using Mapped = std::decay_t<std::invoke_result_t<Transformer&, const Output&>>;
        return ActionConcatenatorAction<Derived, TransformAction<Output, Mapped>>(
            self(), TransformAction<Output, Mapped>(std::move(transformer)));
    }

    // This action, then the mapper over every element of its array output,
    // keeping what the mapper yields.
    template <class Mapper>
    auto compactMap(Mapper mapper) const
    {
        using Element = typename detail::VectorElement<typename Derived::Output>::type;
        using Mapped = typename detail::OptionalValue<std::decay_t<std::invoke_result_t<Mapper&, const Element&>>>::type;
        return ActionConcatenatorAction<Derived, CompactMapAction<Element, Mapped>>(
            self(), CompactMapAction<Element, Mapped>(std::move(mapper)));
    }

    // This action, then a flat map of its array output through the provider.
    template <class Provider>
    requires(!FileAction<Provider>) auto flatMap(Provider provider) const
    {
        using Element = typename detail::VectorElement<typename Derived::Output>::type;
        using Output = typename std::invoke_result_t<Provider&, const Element&>::OutputElement;
        return ActionConcatenatorAction<Derived, FlatMapAction<Element, Output>>(
            self(), FlatMapAction<Element, Output>(std::move(provider)));
    }

    // This action, then the given action on every element of its array
    // output, the elements' arrays flattened into one.
    template <FileAction ElementAction>
    auto flatMap(ElementAction action) const
    {
        using Element = typename ElementAction::Input;
        using Output = typename detail::VectorElement<typename ElementAction::Output>::type;
        using Flat = FlatMapAction<Element, Output>;
        AnyFileAction<Element, std::vector<Output>> erased(std::move(action));
        return flatMap([erased](const Element&) { return Flat::Action::runAction(erased); });
    }

    // This action, then the second on every element of its collection output,
    // optionally asking the decision handler first; erased.
    template <FileAction Second>
    auto mapEach(Second second,
        typename CollectionOutputActionMapperAction<Derived, Second>::ContinueDecisionHandler decisionHandler = nullptr) const
    {
        using Mapper = CollectionOutputActionMapperAction<Derived, Second>;
        return AnyFileAction<typename Derived::Input, typename Mapper::Output>(
            Mapper(self(), std::move(second), std::move(decisionHandler)));
    }

    // This action, whose output is an earlier step's result, then the second
    // action on that result's output; erased.
    template <FileAction Second>
    auto mapFileActionResult(Second second) const
    {
        using Earlier = detail::EarlierResult<typename Derived::Output>;
        return then(FileActionMapAction<typename Earlier::Input, typename Earlier::Output, Second>(std::move(second)));
    }

    auto eraseToAnyFileAction() const
    {
        return AnyFileAction<typename Derived::Input, typename Derived::Output>(self());
    }

private:
    const Derived& self() const { return static_cast<const Derived&>(*this); }
};

} // namespace tavik::actions

#include "actions/ActionConcatenatorAction.hpp"
#include "actions/AnyFileAction.hpp"
#include "actions/CollectionOutputActionMapperAction.hpp"
#include "actions/FileActionMapAction.hpp"
#include "actions/FlatMapAction.hpp"
#include "actions/SimpleActions.hpp"
