#pragma once

#include "platform/foundation/FileDescriptor.hpp"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <sched.h>
#include <sys/types.h>

namespace tavik::process {

// Holds a child at its first system call that could change anything beyond
// its own memory (create, write, rename or remove a file, start a thread or a
// program, and every call not known to be harmless) until its parent
// decides. Reading files, looking at them and managing memory run freely
// meanwhile, so the child reads and prepares beside the parent's check of
// whether it may write at all. Opened, the child goes on untraced, at full
// speed; refused, or not decided by the run's deadline, it is killed having
// changed nothing.
//
// The thread that calls runChild traces the child up to the gate (ptrace).
// That thread and the child share one CPU meanwhile, so that each stop is a
// switch on that CPU rather than a wake-up across two. Where tracing is not
// permitted, the child does not start: runChild fails with `unavailable`,
// and the caller runs it without a gate.
//
// Give the gate to one runChild through ChildOptions::writeGate; decide from
// any thread.
class WriteGate {
public:
    WriteGate() = default;
    WriteGate(const WriteGate&) = delete;
    WriteGate& operator=(const WriteGate&) = delete;

    void open();
    // Kills the child if it is held or on its way to the gate.
    void refuse();
    // Whether the child has come to the gate.
    bool reached() const;

    // The errno runChild reports when the child cannot be held.
    static constexpr int unavailable = ENOSYS;

    // How the child left the gate.
    struct Passage {
        bool passed = false; // it goes on, untraced
        bool timedOut = false; // not through by the deadline: killed
        int waitStatus = 0; // when it did not pass: how it ended (reaped)
    };

    // For runChild. Before the fork, in the thread that will trace.
    void pinToThisCpu();
    // In the child, after the fork; async-signal-safe. Returns 0 or
    // `unavailable`.
    int holdInChild() const noexcept;
    // In the same thread, once the child runs: follows it to the gate and
    // waits there for the decision, until the deadline.
    Passage follow(pid_t child, std::optional<std::chrono::steady_clock::time_point> deadline);
    // When the child did not start after pinToThisCpu.
    void unpin(pid_t child);

private:
    enum class Decision {
        undecided,
        opened,
        refused
    };
    void decide(Decision decision);
    void killHeldChild(); // with mutex_ held
    Passage traceToTheGate(pid_t child);
    Passage killed(pid_t child);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Decision decision_ = Decision::undecided;
    pid_t child_ = 0; // while it is followed
    FileDescriptor childDescriptor_; // its process descriptor, where the kernel has them
    bool reached_ = false;
    bool passed_ = false;
    bool timedOut_ = false;
    bool pinned_ = false;
    cpu_set_t affinity_ {};
};

} // namespace tavik::process
