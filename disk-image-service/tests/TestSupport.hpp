#pragma once

#include "platform/testing/Files.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tavik::service::testing {

using tavik::testing::readFile;
using tavik::testing::writeFile;

// A PATH with the system's programs only: no hdiutil unless a test adds one.
inline const std::string systemPath = "/usr/bin:/bin";

// Writes an executable `hdiutil` shell script into the folder. The script
// first records its arguments in `arguments.log` beside it (each followed
// by NUL, an empty one ending the invocation), then runs the body.
void writeFakeHdiutil(const std::filesystem::path& folder, const std::string& body);
// The recorded invocations, each a list of arguments, the script's name first.
std::vector<std::vector<std::string>> recordedInvocations(const std::filesystem::path& folder);

// The property list of an attach: one entity per mount point, a partition
// without a volume where it is nullopt.
std::string attachPlist(const std::vector<std::optional<std::string>>& mountPoints);

} // namespace tavik::service::testing
