#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tavik::testing {

// Writes the bytes into the file, making its parent folders.
void writeFile(const std::filesystem::path& path, const std::string& contents);
// The file's bytes; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
// A tree as a sorted list of lines, one an item: its path, its mode, and the
// link's target, "folder" or the file's contents.
std::vector<std::string> describeTree(const std::filesystem::path& root);
// The item's permission bits (of a link itself, not its target); 0 when it is missing.
mode_t modeOf(const std::filesystem::path& path);
// The names in a folder, sorted; empty when it cannot be read.
std::vector<std::string> namesIn(const std::filesystem::path& folder);

} // namespace tavik::testing
