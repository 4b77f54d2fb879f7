#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tavik::testing {

// Runs a program (found through PATH) with an argument vector, optionally in
// a folder, and waits for it: its exit status, -1 when it could not start or
// was ended by a signal.
int run(const std::vector<std::string>& arguments, const std::optional<std::filesystem::path>& folder = std::nullopt);

} // namespace tavik::testing
