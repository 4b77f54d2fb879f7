#pragma once

#include "platform/foundation/Result.hpp"

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

namespace tavik::service {

struct ToolOutput {
    // The exit status, or the number of the signal that ended the tool.
    int32_t status = 0;
    std::string standardOutput;
    std::string standardError;
};

// How much of a tool's output is kept: standard output from its start,
// standard error half from its start and half from its end (where a tool
// says what went wrong). The rest is read and dropped.
struct ToolLimits {
    size_t outputBytes = std::numeric_limits<size_t>::max();
    size_t errorBytes = std::numeric_limits<size_t>::max();
};

// Runs a program with the arguments (which follow the program's own name:
// "hdiutil", "attach", ... for /usr/bin/env) in this process's environment and working
// directory, with a new pipe for standard output and one for standard error.
// Both pipes are drained while it runs; returns once it has exited. Fails only
// when the program cannot be launched.
Result<ToolOutput> runTool(const std::filesystem::path& launchPath, const std::vector<std::string>& arguments,
    ToolLimits limits = {});

} // namespace tavik::service
