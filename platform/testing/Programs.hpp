#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tavik::testing {

// Files that take a started program's standard output and error (made or
// emptied first), instead of the caller's.
struct OutputFiles {
    std::filesystem::path out, err;
};

// Starts a program (found through PATH) with an argument vector, optionally
// in a folder, without waiting for it: its process id, -1 when it could not start.
pid_t start(const std::vector<std::string>& arguments, const std::optional<std::filesystem::path>& folder = std::nullopt,
    const std::optional<OutputFiles>& output = std::nullopt);
// Waits for a started program: its exit status, or minus the signal that
// ended it (-1 also when it cannot be waited for).
int waitFor(pid_t process);
// Starts a program and waits for it: its exit status, -1 when it could not
// start or was ended by a signal.
int run(const std::vector<std::string>& arguments, const std::optional<std::filesystem::path>& folder = std::nullopt);

} // namespace tavik::testing
