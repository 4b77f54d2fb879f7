#include "persistence/PersistenceError.hpp"

#include <fmt/format.h>

namespace tavik::persistence {

PersistenceError::PersistenceError(Case errorCase, std::string value, std::string expectedType)
    : case_(errorCase)
    , value_(std::move(value))
    , expectedType_(std::move(expectedType))
{
}

ErrorPtr PersistenceError::unexpectedValueType(std::string value, std::string expectedType)
{
    return std::make_shared<const PersistenceError>(Case::unexpectedValueType, std::move(value), std::move(expectedType));
}

std::string PersistenceError::description() const
{
    return fmt::format("The stored value {} is not of the expected type {}", value_, expectedType_);
}

bool isPersistenceError(const ErrorPtr& error, PersistenceError::Case errorCase)
{
    auto persistenceError = dynamic_cast<const PersistenceError*>(error.get());
    return persistenceError && persistenceError->errorCase() == errorCase;
}

} // namespace tavik::persistence
