#include "disk-image-service/HDIUtilOutput.hpp"

#include "platform/plist/PropertyList.hpp"

namespace tavik::service {

namespace {

constexpr const char* decodingDomain = "NSCocoaErrorDomain";
constexpr int corruptData = 4864;
constexpr int valueNotFound = 4865;

ErrorPtr corrupt(std::string detail)
{
    return GenericError::make(decodingDomain, corruptData,
        "The data couldn't be read because it isn't in the correct format. (" + std::move(detail) + ")");
}

} // namespace

Result<HDIUtilOutput> HDIUtilOutput::decode(std::string_view data)
{
    using plist::PropertyList;
    auto root = PropertyList::parse(data);
    if (!root)
        return corrupt("The given data was not a valid property list.");
    if (root->kind() != PropertyList::Kind::dictionary)
        return corrupt("Expected a dictionary at the top level.");

    const PropertyList* entities = root->find("system-entities");
    if (!entities)
        return GenericError::make(decodingDomain, valueNotFound,
            "The data couldn't be read because it is missing. (No value associated with key \"system-entities\".)");
    if (!entities->array())
        return corrupt("Expected an array for key \"system-entities\".");

    HDIUtilOutput output;
    output.systemEntities.reserve(entities->array()->size());
    for (const auto& entity : *entities->array()) {
        if (!entity.dictionary())
            return corrupt("Expected a dictionary for entity " + std::to_string(output.systemEntities.size())
                + " of \"system-entities\".");
        SystemEntity decoded;
        if (const PropertyList* mountPoint = entity.find("mount-point")) {
            if (!mountPoint->string())
                return corrupt("Expected a string for key \"mount-point\".");
            decoded.mountPoint = URL::fileURL(*mountPoint->string());
        }
        output.systemEntities.push_back(std::move(decoded));
    }
    return output;
}

} // namespace tavik::service
