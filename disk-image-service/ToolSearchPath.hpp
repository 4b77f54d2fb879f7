#pragma once

#include <filesystem>
#include <string>

namespace tavik::service {

// Whether an executable of this name is in one of the PATH folders.
bool isOnSearchPath(const std::string& tool, const std::string& searchPath);

// Appends the folder to this process's PATH when no such tool is found on
// it, so that an installed service finds the hdiutil installed beside it.
void addToSearchPathIfMissing(const std::string& tool, const std::filesystem::path& folder);

} // namespace tavik::service
