#pragma once

#include "platform/foundation/Result.hpp"

#include <filesystem>

namespace tavik::service {

// Copies a file, keeping its mode and times. Fails when anything exists at
// the destination already; a partial copy is removed again.
Result<void> copyItem(const std::filesystem::path& source, const std::filesystem::path& destination);

} // namespace tavik::service
