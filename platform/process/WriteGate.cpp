#include "platform/process/WriteGate.hpp"

#include <cstdint>
#include <fcntl.h>
#include <linux/audit.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace tavik::process {

namespace {

#if defined(__x86_64__)
constexpr unsigned ownArchitecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned ownArchitecture = AUDIT_ARCH_AARCH64;
#else
constexpr unsigned ownArchitecture = 0; // no gate on other machines
#endif

bool opensForReadingOnly(std::uint64_t flags)
{
    return (flags & O_ACCMODE) == O_RDONLY && (flags & (O_CREAT | O_TRUNC)) == 0 && (flags & O_TMPFILE) != O_TMPFILE;
}

// The calls a child may make before the gate: they read, look or change
// only the child itself. Whatever is not named here waits at the gate.
bool harmless(const __ptrace_syscall_info& call)
{
    if (call.arch != ownArchitecture)
        return false;
    const auto* arguments = call.entry.args;
    switch (call.entry.nr) {
    case SYS_read:
    case SYS_pread64:
    case SYS_readv:
    case SYS_preadv:
    case SYS_lseek:
    case SYS_close:
    case SYS_dup:
    case SYS_dup3:
    case SYS_fstat:
    case SYS_newfstatat:
    case SYS_statx:
    case SYS_faccessat:
    case SYS_faccessat2:
    case SYS_readlinkat:
    case SYS_getdents64:
    case SYS_getcwd:
    case SYS_brk:
    case SYS_munmap:
    case SYS_mprotect: // shared mappings are of files opened read-only
    case SYS_rt_sigaction:
    case SYS_rt_sigprocmask:
    case SYS_sigaltstack:
    case SYS_set_tid_address:
    case SYS_set_robust_list:
    case SYS_rseq:
    case SYS_getrandom:
    case SYS_futex:
    case SYS_clock_gettime:
    case SYS_gettimeofday:
    case SYS_getpid:
    case SYS_getppid:
    case SYS_getpgid:
    case SYS_gettid:
    case SYS_getuid:
    case SYS_geteuid:
    case SYS_getgid:
    case SYS_getegid:
    case SYS_uname:
    case SYS_sysinfo:
    case SYS_sched_getaffinity:
    case SYS_umask:
    case SYS_exit:
    case SYS_exit_group:
#if defined(__x86_64__)
    case SYS_stat:
    case SYS_lstat:
    case SYS_access:
    case SYS_readlink:
    case SYS_dup2:
    case SYS_arch_prctl:
#endif
        return true;
    case SYS_openat:
        return opensForReadingOnly(arguments[2]);
#if defined(__x86_64__)
    case SYS_open:
        return opensForReadingOnly(arguments[1]);
#endif
    case SYS_mmap: // a writable shared mapping could write a file
        return (arguments[3] & MAP_TYPE) == MAP_PRIVATE || (arguments[2] & PROT_WRITE) == 0;
    case SYS_prlimit64: // reading a limit
        return arguments[2] == 0;
    case SYS_fcntl: // copying a descriptor, or its close-on-exec flag
        return arguments[1] == F_DUPFD || arguments[1] == F_DUPFD_CLOEXEC || arguments[1] == F_GETFD || arguments[1] == F_SETFD || arguments[1] == F_GETFL;
    case SYS_ioctl: // asking whether a stream is a terminal
        return arguments[1] == TCGETS || arguments[1] == TIOCGWINSZ;
    default:
        return false;
    }
}

int awaitChange(pid_t child)
{
    int status = 0;
    while (waitpid(child, &status, __WALL) < 0) {
        if (errno != EINTR)
            return 0;
    }
    return status;
}

bool ended(int status) { return WIFEXITED(status) || WIFSIGNALED(status); }

} // namespace

void WriteGate::open() { decide(Decision::opened); }

void WriteGate::refuse() { decide(Decision::refused); }

void WriteGate::decide(Decision decision)
{
    std::lock_guard lock(mutex_);
    if (decision_ != Decision::undecided)
        return;
    decision_ = decision;
    if (decision == Decision::refused)
        killHeldChild();
    changed_.notify_all();
}

void WriteGate::killHeldChild()
{
    // Through the process descriptor: once reaped, the number could name
    // another process.
    if (child_ == 0 || passed_)
        return;
    if (childDescriptor_.valid())
        syscall(SYS_pidfd_send_signal, childDescriptor_.get(), SIGKILL, nullptr, 0);
    else
        kill(child_, SIGKILL);
}

bool WriteGate::reached() const
{
    std::lock_guard lock(mutex_);
    return reached_;
}

void WriteGate::pinToThisCpu()
{
    if (sched_getaffinity(0, sizeof affinity_, &affinity_) != 0 || CPU_COUNT(&affinity_) < 2)
        return;
    int cpu = sched_getcpu();
    if (cpu < 0 || !CPU_ISSET(cpu, &affinity_))
        return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pinned_ = sched_setaffinity(0, sizeof one, &one) == 0;
}

void WriteGate::unpin(pid_t child)
{
    if (!pinned_)
        return;
    if (child > 0)
        sched_setaffinity(child, sizeof affinity_, &affinity_);
    sched_setaffinity(0, sizeof affinity_, &affinity_);
    pinned_ = false;
}

int WriteGate::holdInChild() const noexcept
{
    if (ownArchitecture == 0 || ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
        return unavailable;
    return 0;
}

WriteGate::Passage WriteGate::follow(pid_t child, std::optional<std::chrono::steady_clock::time_point> deadline)
{
    {
        std::lock_guard lock(mutex_);
        child_ = child;
        childDescriptor_ = FileDescriptor(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
        if (decision_ == Decision::refused)
            killHeldChild();
    }
    // Bounds the whole way to the gate, whatever the child waits for.
    std::thread watchdog;
    if (deadline) {
        watchdog = std::thread([this, end = *deadline] {
            std::unique_lock lock(mutex_);
            if (changed_.wait_until(lock, end, [this] { return child_ == 0; }) || passed_)
                return;
            timedOut_ = true;
            if (decision_ == Decision::undecided)
                decision_ = Decision::refused;
            killHeldChild();
            changed_.notify_all();
        });
    }
    Passage passage = traceToTheGate(child);
    unpin(passage.passed ? child : 0);
    {
        std::lock_guard lock(mutex_);
        child_ = 0;
        childDescriptor_.close();
        passage.timedOut = !passage.passed && timedOut_;
        changed_.notify_all();
    }
    if (watchdog.joinable())
        watchdog.join();
    return passage;
}

WriteGate::Passage WriteGate::traceToTheGate(pid_t child)
{
    // The first stop is the one after exec; from then on it stops as each
    // call begins and ends.
    int status = awaitChange(child);
    if (ended(status))
        return {false, false, status};
    ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    int signal = 0;
    for (;;) {
        if (ptrace(PTRACE_SYSCALL, child, nullptr, signal) != 0)
            return killed(child);
        status = awaitChange(child);
        if (ended(status))
            return {false, false, status};
        signal = 0;
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            signal = WSTOPSIG(status); // a signal for the child: passed on
            continue;
        }
        __ptrace_syscall_info call {};
        if (ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof call, &call) <= 0)
            break; // unknown: held
        if (call.op != PTRACE_SYSCALL_INFO_ENTRY || harmless(call))
            continue;
        break;
    }

    std::unique_lock lock(mutex_);
    reached_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return decision_ != Decision::undecided; });
    if (decision_ == Decision::opened) {
        passed_ = true; // nothing kills it from here on
        lock.unlock();
        // The held call goes on as the child leaves the tracer.
        if (ptrace(PTRACE_DETACH, child, nullptr, 0) == 0)
            return {true, false, 0};
        return killed(child);
    }
    lock.unlock();
    return killed(child);
}

WriteGate::Passage WriteGate::killed(pid_t child)
{
    kill(child, SIGKILL);
    int status;
    do
        status = awaitChange(child);
    while (!ended(status)); // a failed wait reads as an exit
    return {false, false, status};
}

} // namespace tavik::process
