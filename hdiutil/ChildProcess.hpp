#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tavik::hdiutil {

// What a finished child process left behind.
struct ChildOutcome {
    int exitStatus = -1;      // valid when exited
    bool exited = false;      // false: killed by a signal or by the time limit
    bool timedOut = false;
    // The child wrote more than the output limit and was stopped; the
    // output holds what came before.
    bool outputOverflowed = false;
    std::string standardOutput;
    // Its start and end when it was longer than the error limit.
    std::string standardError;
};

struct ChildOptions {
    std::chrono::milliseconds timeLimit{std::chrono::minutes(10)};
    // The child's umask, when it should not inherit ours.
    std::optional<mode_t> umask;
    // The child's address space (RLIMIT_AS) in bytes; 0: no limit.
    std::uint64_t memoryLimit = 0;
    // Bytes of standard output kept; a child that writes more is stopped.
    std::size_t outputLimit = std::numeric_limits<std::size_t>::max();
    // Bytes of standard error kept, half from its start and half from its end.
    std::size_t errorLimit = std::numeric_limits<std::size_t>::max();
};

// Runs `arguments[0]` (looked up on PATH) with the arguments as a vector,
// standard input from /dev/null, UTF-8 locale, both output streams drained
// while it runs. A child that outlives the time limit is killed with its
// whole process group, as is one that writes more output than allowed. Throws std::runtime_error when it cannot be started.
ChildOutcome runChild(const std::vector<std::string>& arguments, const ChildOptions& options);

} // namespace tavik::hdiutil
