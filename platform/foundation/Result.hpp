#pragma once

#include "platform/foundation/Error.hpp"

#include <cassert>
#include <utility>
#include <variant>

namespace tavik {

// A value or an error: what crosses queues instead of exceptions.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value)
        : storage_(std::in_place_index<0>, std::move(value))
    {
    }
    Result(ErrorPtr error)
        : storage_(std::in_place_index<1>, std::move(error))
    {
        assert(std::get<1>(storage_) && "a failed Result needs an error");
    }

    bool ok() const { return storage_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(storage_); }
    const T& value() const& { return std::get<0>(storage_); }
    T&& value() && { return std::get<0>(std::move(storage_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const ErrorPtr& error() const { return std::get<1>(storage_); }

private:
    std::variant<T, ErrorPtr> storage_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(ErrorPtr error)
        : error_(std::move(error))
    {
        assert(error_ && "a failed Result needs an error");
    }
    static Result success() { return {}; }

    bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }
    const ErrorPtr& error() const { return error_; }

private:
    ErrorPtr error_;
};

} // namespace tavik

// Evaluates a Result; returns its error from the enclosing function when it
// failed, else yields its value.
#define TAVIK_TRY(expression)              \
    ({                                     \
        auto _tavik_result = (expression); \
        if (!_tavik_result)                \
            return _tavik_result.error();  \
        std::move(_tavik_result).value();  \
    })

#define TAVIK_TRY_VOID(expression)         \
    do {                                   \
        auto _tavik_result = (expression); \
        if (!_tavik_result)                \
            return _tavik_result.error();  \
    } while (false)
