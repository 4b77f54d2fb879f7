#pragma once

#include "platform/foundation/FileError.hpp"
#include "platform/foundation/Result.hpp"
#include "zip/Archive.hpp"

#include <array>
#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>

namespace tavik::zip {

// A consumer that writes every chunk to fd; a failed write is `unwritableFile`.
Archive::DataConsumer writingTo(int fd, std::string path);

// Gives the item `name` in dirfd its permissions and modification date. A
// symbolic link keeps its own mode (Linux has none to set) and gets its date
// on the link itself, never on what it points to.
Result<void> applyAttributes(int dirfd, const char* name, EntryType type, mode_t permissions,
    std::chrono::system_clock::time_point modificationDate, const std::filesystem::path& errorPath);

// The same through an open descriptor of the item.
Result<void> applyAttributes(int fd, mode_t permissions, std::chrono::system_clock::time_point modificationDate,
    const std::filesystem::path& errorPath);

} // namespace tavik::zip
