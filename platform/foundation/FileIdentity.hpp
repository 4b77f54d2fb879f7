#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"

#include <cstdint>
#include <vector>

namespace tavik {

// The bytes that identify a file in the handled and ignored lists: those of
// a plain bookmark of it. The same file at the same path always gives equal
// bytes; a new file that was given the inode of a deleted one, or the same
// file at another path, gives different bytes.
Result<std::vector<uint8_t>> fileIdentityBytes(const URL& url);

} // namespace tavik
