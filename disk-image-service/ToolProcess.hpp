#pragma once

#include "platform/foundation/Result.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tavik::service {

struct ToolOutput {
    // The exit status, or the number of the signal that ended the tool.
    int32_t status = 0;
    std::string standardOutput;
    std::string standardError;
};

// Runs a program with the arguments (which follow the program's own name:
// "hdiutil", "attach", ... for /usr/bin/env) in this process's environment and working
// directory, with a new pipe for standard output and one for standard error.
// Both pipes are drained while it runs; returns once it has exited. Fails only
// when the program cannot be launched.
Result<ToolOutput> runTool(const std::filesystem::path& launchPath, const std::vector<std::string>& arguments);

} // namespace tavik::service
