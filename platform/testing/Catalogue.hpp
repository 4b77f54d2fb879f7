#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace tavik::testing {

// Compiles the program's translation catalogue for one language with msgfmt,
// at folder/LANGUAGE/LC_MESSAGES/tavik.mo, from (English text, translation)
// pairs. False when msgfmt is not installed.
bool writeCatalogue(const std::filesystem::path& folder, const std::string& language,
    const std::vector<std::pair<std::string, std::string>>& translations);

} // namespace tavik::testing
