#include "persistence/UserDefaultsMappedArrayStorage.hpp"

#include <fmt/format.h>

namespace tavik::persistence {

MappedArrayStoreValueError::MappedArrayStoreValueError(Case errorCase, std::string modelID)
    : case_(errorCase)
    , modelID_(std::move(modelID))
{
}

ErrorPtr MappedArrayStoreValueError::valueCreatedIllegally(std::string modelID)
{
    return std::make_shared<const MappedArrayStoreValueError>(Case::valueCreatedIllegally, std::move(modelID));
}

ErrorPtr MappedArrayStoreValueError::valueDoesNotExist()
{
    return std::make_shared<const MappedArrayStoreValueError>(Case::valueDoesNotExist, std::string());
}

std::string MappedArrayStoreValueError::description() const
{
    if (case_ == Case::valueCreatedIllegally)
        return fmt::format("The value with identifier \"{}\" was not created by this storage", modelID_);
    return "No array is stored under the key yet";
}

} // namespace tavik::persistence
