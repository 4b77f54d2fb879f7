#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"

namespace tavik {

// The process's private temporary folder: "$TMPDIR/tavik-<uid>", or
// "/tmp/tavik-<uid>" when TMPDIR is unset or not an absolute path. It is
// created with mode 0700 when missing. An existing one is used only if it is
// a real directory (not a symbolic link) owned by this user; its mode is then
// narrowed to 0700. Anything else is refused with a FileError.
Result<URL> temporaryDirectory();

} // namespace tavik
