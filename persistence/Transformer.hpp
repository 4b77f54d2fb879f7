#pragma once

#include "platform/foundation/Result.hpp"

#include <concepts>
#include <functional>
#include <memory>

namespace tavik::persistence {

// Turns a value into the form a storage holds (transform, before storing)
// and back (untransform, after retrieving). Either direction may fail.
template <class InputType, class OutputType>
class Transformer {
public:
    using Input = InputType;
    using Output = OutputType;

    virtual ~Transformer() = default;
    virtual Result<Output> transform(const Input& input) const = 0;
    virtual Result<Input> untransform(const Output& output) const = 0;
};

template <class Input, class Output>
using TransformerPtr = std::shared_ptr<const Transformer<Input, Output>>;

// Any transformer class (what functions taking a transformer accept, as a
// shared_ptr to it).
template <class T>
concept TransformerType = requires
{
    typename T::Input;
    typename T::Output;
}
&&std::derived_from<T, Transformer<typename T::Input, typename T::Output>>;

// Chains two transformers: transform runs the first then the second,
// untransform the second's untransform then the first's.
template <class Input, class Output>
class AggregateTransformer final : public Transformer<Input, Output> {
public:
    using TransformValueClosure = std::function<Result<Output>(const Input&)>;
    using UntransformValueClosure = std::function<Result<Input>(const Output&)>;

    AggregateTransformer(TransformValueClosure transformValueClosure, UntransformValueClosure untransformValueClosure)
        : transformValueClosure_(std::move(transformValueClosure))
        , untransformValueClosure_(std::move(untransformValueClosure))
    {
    }

    template <class Middle>
    AggregateTransformer(TransformerPtr<Input, Middle> first, TransformerPtr<Middle, Output> second)
        : transformValueClosure_([first, second](const Input& input) -> Result<Output> {
            auto middle = first->transform(input);
            if (!middle)
                return middle.error();
            return second->transform(*middle);
        })
        , untransformValueClosure_([first, second](const Output& output) -> Result<Input> {
            auto middle = second->untransform(output);
            if (!middle)
                return middle.error();
            return first->untransform(*middle);
        })
    {
    }

    Result<Output> transform(const Input& input) const override { return transformValueClosure_(input); }
    Result<Input> untransform(const Output& output) const override { return untransformValueClosure_(output); }

private:
    TransformValueClosure transformValueClosure_;
    UntransformValueClosure untransformValueClosure_;
};

template <class Input, class Middle, class Output>
TransformerPtr<Input, Output> aggregate(TransformerPtr<Input, Middle> first, TransformerPtr<Middle, Output> second)
{
    return std::make_shared<AggregateTransformer<Input, Output>>(std::move(first), std::move(second));
}

} // namespace tavik::persistence
