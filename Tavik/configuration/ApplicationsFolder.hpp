#pragma once

#include "platform/foundation/URL.hpp"

#include <optional>
#include <vector>

namespace tavik {

// The domains applications folders are searched in: the user's own
// ($HOME/Applications) and the machine's (/Applications).
enum class SearchPathDomain {
    user,
    local
};

// The applications folders of a domain, whether or not they exist.
std::vector<URL> applicationsDirectories(SearchPathDomain domain);

// Whether the URL is one of the applications folders: one of those of every
// domain, compared with symbolic links resolved, or the user's own one
// rebuilt from the user-domain path as /<top>/<name>/<local folder's name>
// (which also finds it from inside a container whose home is elsewhere).
bool isApplicationsFolder(const URL& url);

} // namespace tavik
