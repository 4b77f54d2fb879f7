#pragma once

#include "platform/foundation/Result.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tavik {

// One entry of a folder as the directory itself records it, without a
// look at the item: its name, its file number and what kind of item it is.
struct FolderEntry {
    enum class Kind {
        file,
        directory,
        symbolicLink,
        other,
        unknown
    };
    std::string name;
    int64_t fileNumber;
    Kind kind;
};

// The entries of a folder, hidden ones included, "." and ".." left out, in
// the order the file system keeps them. One pass over the directory, with no
// call per entry, so that large download folders list quickly.
Result<std::vector<FolderEntry>> listFolder(const std::filesystem::path& folder);

} // namespace tavik
