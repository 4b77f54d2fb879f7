#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tavik::hdiutil {

// What a finished child process left behind.
struct ChildOutcome {
    int exitStatus = -1;      // valid when exited
    bool exited = false;      // false: killed by a signal or by the time limit
    bool timedOut = false;
    std::string standardOutput;
    std::string standardError;
};

struct ChildOptions {
    std::chrono::milliseconds timeLimit{std::chrono::minutes(10)};
    // Clear the umask in the child so that it creates files with exactly the
    // modes it asks for.
    bool clearUmask = false;
};

// Runs `arguments[0]` (looked up on PATH) with the arguments as a vector,
// standard input from /dev/null, UTF-8 locale, both output streams drained
// while it runs. A child that outlives the time limit is killed with its
// whole process group. Throws std::runtime_error when it cannot be started.
ChildOutcome runChild(const std::vector<std::string>& arguments, const ChildOptions& options);

} // namespace tavik::hdiutil
