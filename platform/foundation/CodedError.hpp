#pragma once

#include "platform/foundation/Error.hpp"

#include <memory>
#include <string>
#include <utility>

namespace tavik {

// What every owner's error type with an enumeration of codes says the same
// way: the factory, the code another process sees, and the test for "this
// owner's error with this code". The owner declares its `Code`, keeps it and
// answers it from `errorCode()`; it adds its payload, texts and domain.
template <class Owner>
class CodedError : public Error {
public:
    // The owner's constructor takes the code first, then its payload.
    template <class Code, class... Payload>
    static ErrorPtr make(Code code, Payload&&... payload)
    {
        return std::make_shared<const Owner>(code, std::forward<Payload>(payload)...);
    }

    // Whether an error is of this owner and has this code.
    template <class Code>
    static bool is(const ErrorPtr& error, Code code)
    {
        auto* owned = dynamic_cast<const Owner*>(error.get());
        return owned && owned->errorCode() == code;
    }

    int code() const override { return static_cast<int>(static_cast<const Owner&>(*this).errorCode()); }
};

// The owner's error whose payload is one text: a detail, or the path it
// concerns. The owner's codes are declared before it (this base needs their
// type) and are its `Code`.
template <class Owner, class CodeEnum>
class DetailedCodedError : public CodedError<Owner> {
public:
    using Code = CodeEnum;

    explicit DetailedCodedError(Code code, std::string detail = {})
        : code_(code)
        , detail_(std::move(detail))
    {
    }

    Code errorCode() const { return code_; }
    const std::string& detail() const { return detail_; }

private:
    Code code_;
    std::string detail_;
};

} // namespace tavik
