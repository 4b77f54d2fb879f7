#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"

#include <filesystem>

namespace tavik::service {

// This process's temporary folder, $TMPDIR/tavik-<uid> (or /tmp/tavik-<uid>),
// created 0700 when missing; refused when it is a symbolic link, not a
// folder, or not owned by this user.
Result<URL> processTemporaryDirectory();

// Copies a file, keeping its mode and times. Fails when anything exists at
// the destination already; a partial copy is removed again.
Result<void> copyItem(const std::filesystem::path& source, const std::filesystem::path& destination);

} // namespace tavik::service
