#pragma once

#include "platform/foundation/CodedError.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>

namespace tavik {

// A string literal as a template argument.
template <size_t length>
struct LiteralText {
    constexpr LiteralText(const char (&literal)[length]) { std::copy_n(literal, length, text); }
    char text[length];
};

// The error of one action: a case of the action's own enumeration and the
// path it concerns, in the action's error domain. Cases names the
// enumeration (Code) and gives the text of each case:
//
//     struct InvalidArchive {
//         enum class Code { invalidArchive };
//         static std::string describe(Code) { return "The file is not a valid ZIP archive"; }
//     };
//     using Error = ActionError<InvalidArchive, "app.tavik.TavikActions.SearchZIPAction.Error">;
template <class Cases, LiteralText errorDomain>
class ActionError final : public DetailedCodedError<ActionError<Cases, errorDomain>, typename Cases::Code> {
public:
    using Base = DetailedCodedError<ActionError<Cases, errorDomain>, typename Cases::Code>;
    using Base::Base;

    std::string description() const override { return Cases::describe(this->errorCode()); }
    std::optional<std::string> failureReason() const override { return this->detail(); }
    std::string domain() const override { return errorDomain.text; }
};

} // namespace tavik
