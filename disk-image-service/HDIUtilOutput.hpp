#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace tavik::service {

// What the service reads from the property list that `hdiutil attach -plist`
// writes: the "system-entities" array (required) and each entity's
// "mount-point" (optional). Every other key is ignored.
struct HDIUtilOutput {
    struct SystemEntity {
        std::optional<URL> mountPoint;
    };

    std::vector<SystemEntity> systemEntities;

    // Decodes an XML or binary property list.
    static Result<HDIUtilOutput> decode(std::string_view data);
};

} // namespace tavik::service
