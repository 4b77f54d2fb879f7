#pragma once

#include "platform/foundation/Result.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tavik::process {

class WriteGate;

// What a child may spend, and how it is started. Every limit is off by default.
struct ChildOptions {
    // Killed, with its process group when it has its own, once this has passed.
    std::optional<std::chrono::milliseconds> timeLimit;
    // The child's umask, when it should not inherit ours.
    std::optional<mode_t> umask;
    // The child's address space (RLIMIT_AS) in bytes; 0: no limit.
    std::uint64_t memoryLimit = 0;
    // Bytes of standard output kept, from its start.
    std::size_t outputLimit = std::numeric_limits<std::size_t>::max();
    // A child that writes more output than kept is killed; otherwise the rest
    // is read and dropped.
    bool stopOnOutputOverflow = false;
    // Bytes of standard error kept, half from its start and half from its end
    // (where a tool says what went wrong).
    std::size_t errorLimit = std::numeric_limits<std::size_t>::max();
    // The child leads a process group of its own, so that a kill reaches
    // whatever it started in turn.
    bool ownProcessGroup = false;
    // LC_ALL=C.UTF-8 instead of our locale, for output a caller parses.
    bool utf8Locale = false;
    // Holds the child before its first change to anything until the gate
    // opens (see WriteGate).
    WriteGate* writeGate = nullptr;
};

// What a finished child left behind.
struct ChildOutcome {
    bool exited = false; // false: ended by a signal, the time limit or an output overflow
    int exitStatus = -1; // valid when exited
    int signal = 0; // the signal that ended it, when it did not exit
    bool timedOut = false;
    bool outputOverflowed = false;
    // What was kept, with a note of what was left out where it was cut.
    std::string standardOutput;
    std::string standardError;

    // The exit status, else the number of the signal that ended the child.
    int status() const { return exited ? exitStatus : signal; }
};

// Runs `arguments[0]` (looked up on PATH unless it holds a slash) with the
// arguments as a vector, standard input from /dev/null and our environment,
// draining both output streams while it runs. Fails only when the child
// cannot be started; the error names the program.
Result<ChildOutcome> runChild(const std::vector<std::string>& arguments, const ChildOptions& options = {});

// Whether a child of this process ends by the deadline; it is left unreaped,
// for the caller to wait for.
bool endsBy(pid_t child, std::chrono::steady_clock::time_point deadline);

} // namespace tavik::process
