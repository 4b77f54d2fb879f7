#pragma once

#include "platform/foundation/Error.hpp"

#include <string>

namespace tavik::persistence {

// A stored value was not of the kind the reader needs.
class PersistenceError final : public Error {
public:
    enum class Case { unexpectedValueType = 0 };

    // `value` describes the value found, `expectedType` names the type wanted.
    static ErrorPtr unexpectedValueType(std::string value, std::string expectedType);

    PersistenceError(Case errorCase, std::string value, std::string expectedType);

    Case errorCase() const { return case_; }
    const std::string& value() const { return value_; }
    const std::string& expectedType() const { return expectedType_; }

    std::string description() const override;
    std::string domain() const override { return "PersistenceError"; }
    int code() const override { return static_cast<int>(case_); }

private:
    Case case_;
    std::string value_;
    std::string expectedType_;
};

// Whether the error is a PersistenceError of this case.
bool isPersistenceError(const ErrorPtr& error, PersistenceError::Case errorCase);

} // namespace tavik::persistence
