#include "disk-image-service/HDIUtilOutput.hpp"

#include <plist/plist.h>

#include <cstdlib>
#include <limits>
#include <memory>

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

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};

} // namespace

Result<HDIUtilOutput> HDIUtilOutput::decode(std::string_view data)
{
    if (data.empty() || data.size() > std::numeric_limits<uint32_t>::max())
        return corrupt("The given data was not a valid property list.");
    plist_t parsed = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &parsed);
    std::unique_ptr<void, PlistDeleter> root(parsed);
    if (!root)
        return corrupt("The given data was not a valid property list.");
    if (plist_get_node_type(root.get()) != PLIST_DICT)
        return corrupt("Expected a dictionary at the top level.");

    plist_t entities = plist_dict_get_item(root.get(), "system-entities");
    if (!entities)
        return GenericError::make(decodingDomain, valueNotFound,
            "The data couldn't be read because it is missing. (No value associated with key \"system-entities\".)");
    if (plist_get_node_type(entities) != PLIST_ARRAY)
        return corrupt("Expected an array for key \"system-entities\".");

    HDIUtilOutput output;
    uint32_t count = plist_array_get_size(entities);
    output.systemEntities.reserve(count);
    for (uint32_t index = 0; index < count; ++index) {
        plist_t entity = plist_array_get_item(entities, index);
        if (plist_get_node_type(entity) != PLIST_DICT)
            return corrupt("Expected a dictionary for entity " + std::to_string(index) + " of \"system-entities\".");
        SystemEntity decoded;
        if (plist_t mountPoint = plist_dict_get_item(entity, "mount-point")) {
            if (plist_get_node_type(mountPoint) != PLIST_STRING)
                return corrupt("Expected a string for key \"mount-point\".");
            char* text = nullptr;
            plist_get_string_val(mountPoint, &text);
            std::string path = text ? text : "";
            std::free(text);
            decoded.mountPoint = URL::fileURL(path);
        }
        output.systemEntities.push_back(std::move(decoded));
    }
    return output;
}

} // namespace tavik::service
