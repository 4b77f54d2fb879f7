#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"

#include <optional>

namespace tavik {

// Moves the item (a symbolic link itself, never what it points to) to the
// user's trash the way the desktop does (freedesktop Trash specification),
// so that it can be restored from the trash later. Answers where the item now
// lies in the trash, when that can be told; a FileError when it could not be
// trashed.
Result<std::optional<URL>> trashItem(const URL& url);

} // namespace tavik
