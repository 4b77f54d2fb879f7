#include "platform/process/ChildProcess.hpp"

#include "platform/foundation/BoundedText.hpp"
#include "platform/foundation/FileDescriptor.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/process/WriteGate.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavik::process {

namespace {

using Clock = std::chrono::steady_clock;

// For poll: the milliseconds left until the deadline, 0 once it has passed
// (a long wait is waited out in pieces of what poll takes).
int millisecondsUntil(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1000 * 1000));
}

// Both ends close-on-exec, so that children other threads start at the same
// time do not hold them open.
struct Pipe {
    FileDescriptor readEnd;
    FileDescriptor writeEnd;

    bool open()
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return false;
        readEnd = FileDescriptor(ends[0]);
        writeEnd = FileDescriptor(ends[1]);
        return true;
    }
};

// Everything the child needs, made before the fork: after it, the child may
// only make async-signal-safe calls.
struct LaunchPlan {
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    std::vector<char*> argv;
    std::vector<char*> envp;

    LaunchPlan(const std::vector<std::string>& given, bool utf8Locale)
        : arguments(given)
    {
        for (char** entry = environ; entry && *entry; ++entry) {
            std::string_view text(*entry);
            if (utf8Locale && (text.starts_with("LC_ALL=") || text.starts_with("LANGUAGE=")))
                continue;
            environment.emplace_back(text);
        }
        if (utf8Locale)
            environment.emplace_back("LC_ALL=C.UTF-8");
        argv = pointersTo(arguments);
        envp = pointersTo(environment);
    }

    static std::vector<char*> pointersTo(std::vector<std::string>& strings)
    {
        std::vector<char*> result;
        result.reserve(strings.size() + 1);
        for (auto& string : strings)
            result.push_back(string.data());
        result.push_back(nullptr);
        return result;
    }
};

struct ChildPipes {
    Pipe output;
    Pipe error;
    Pipe launchFailure; // the child writes errno here when exec fails
};

[[noreturn]] void becomeChild(const LaunchPlan& plan, const ChildOptions& options, ChildPipes& pipes, int input)
{
    if (options.ownProcessGroup)
        setpgid(0, 0);
    if (options.umask)
        umask(*options.umask);
    int failure = 0;
    if (options.memoryLimit != 0) {
        rlimit limit {options.memoryLimit, options.memoryLimit};
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            failure = errno;
    }
    if (failure == 0 && options.writeGate)
        failure = options.writeGate->holdInChild();
    if (failure == 0 && (dup2(input, STDIN_FILENO) < 0 || dup2(pipes.output.writeEnd.get(), STDOUT_FILENO) < 0 || dup2(pipes.error.writeEnd.get(), STDERR_FILENO) < 0))
        failure = errno;
    if (failure == 0) {
        execvpe(plan.argv[0], plan.argv.data(), plan.envp.data());
        failure = errno;
    }
    ssize_t ignored = write(pipes.launchFailure.writeEnd.get(), &failure, sizeof failure);
    (void)ignored;
    _exit(127);
}

// Forks and execs; returns the child's process id, or the errno of what failed.
Result<pid_t> startChild(const LaunchPlan& plan, const ChildOptions& options, ChildPipes& pipes)
{
    const std::string& program = plan.arguments.front();
    if (!pipes.output.open() || !pipes.error.open() || !pipes.launchFailure.open())
        return FileError::fromErrno(errno, program, false);
    FileDescriptor input(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!input.valid())
        return FileError::fromErrno(errno, program, false);

    pid_t pid = fork();
    if (pid == 0)
        becomeChild(plan, options, pipes, input.get());
    if (pid < 0)
        return FileError::fromErrno(errno, program, false);
    input.close();
    if (options.ownProcessGroup)
        setpgid(pid, pid); // also from here, so the group exists before any kill
    pipes.output.writeEnd.close();
    pipes.error.writeEnd.close();
    pipes.launchFailure.writeEnd.close();

    // Closed unread on a successful exec.
    int launchError = 0;
    ssize_t got;
    do
        got = read(pipes.launchFailure.readEnd.get(), &launchError, sizeof launchError);
    while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof launchError)) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
        return FileError::fromErrno(launchError, program, false);
    }
    return pid;
}

class RunningChild {
public:
    RunningChild(pid_t pid, const ChildOptions& options)
        : pid_(pid)
        , options_(options)
        , deadline_(options.timeLimit ? std::optional(Clock::now() + *options.timeLimit) : std::nullopt)
    {
    }

    // Reads both streams until they close, the child overflows its output
    // limit or the time is up.
    void collectOutput(ChildPipes& pipes, ChildOutcome& outcome)
    {
        BoundedText output(options_.outputLimit, 0);
        BoundedText error(options_.errorLimit / 2, options_.errorLimit - options_.errorLimit / 2);
        pollfd fds[2] = {{pipes.output.readEnd.get(), POLLIN, 0}, {pipes.error.readEnd.get(), POLLIN, 0}};
        char buffer[16384];
        while (fds[0].fd >= 0 || fds[1].fd >= 0) {
            int timeout = millisecondsLeft();
            if (timeout == 0) {
                outcome.timedOut = true;
                stop();
                break;
            }
            if (poll(fds, 2, timeout) < 0 && errno != EINTR)
                break;
            for (int index = 0; index < 2; ++index) {
                if (fds[index].fd < 0 || fds[index].revents == 0)
                    continue;
                ssize_t got = read(fds[index].fd, buffer, sizeof buffer);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0) {
                    fds[index].fd = -1;
                    continue;
                }
                (index == 0 ? output : error).append(std::string_view(buffer, static_cast<size_t>(got)));
            }
            if (output.overflowed() && options_.stopOnOutputOverflow && !outcome.outputOverflowed) {
                outcome.outputOverflowed = true;
                stop();
                fds[0].fd = -1; // nothing more is wanted from it
            }
        }
        outcome.outputOverflowed = output.overflowed();
        outcome.standardOutput = output.text();
        outcome.standardError = error.text();
    }

    // Follows the child to its gate; one that does not pass has ended there.
    void passGate(WriteGate& gate, ChildOutcome& outcome)
    {
        auto passage = gate.follow(pid_, deadline_);
        if (passage.passed)
            return;
        endedAt_ = passage.waitStatus;
        outcome.timedOut = passage.timedOut;
    }

    // Waits for the child to end, within the same time limit.
    void awaitExit(ChildOutcome& outcome)
    {
        int status = endedAt_.value_or(0);
        if (!endedAt_ && !outcome.timedOut && deadline_ && !endsBy(pid_, *deadline_)) {
            outcome.timedOut = true;
            stop();
        }
        while (!endedAt_ && waitpid(pid_, &status, 0) < 0) {
            if (errno != EINTR)
                return;
        }
        if (WIFEXITED(status) && !outcome.timedOut && !(outcome.outputOverflowed && options_.stopOnOutputOverflow)) {
            outcome.exited = true;
            outcome.exitStatus = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            outcome.signal = WTERMSIG(status);
        }
    }

private:
    // For poll: -1 without a limit.
    int millisecondsLeft() const { return deadline_ ? millisecondsUntil(*deadline_) : -1; }

    void stop() { kill(options_.ownProcessGroup ? -pid_ : pid_, SIGKILL); }

    pid_t pid_;
    const ChildOptions& options_;
    std::optional<Clock::time_point> deadline_;
    std::optional<int> endedAt_; // the wait status of a child reaped at its gate
};

} // namespace

bool endsBy(pid_t child, Clock::time_point deadline)
{
    FileDescriptor pidfd(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    if (pidfd.valid()) {
        pollfd ended {pidfd.get(), POLLIN, 0};
        int ready;
        do
            ready = poll(&ended, 1, millisecondsUntil(deadline));
        while ((ready < 0 && errno == EINTR) || (ready == 0 && millisecondsUntil(deadline) != 0));
        return ready != 0;
    }
    // Kernels without process descriptors: look every few milliseconds.
    siginfo_t info {};
    while (millisecondsUntil(deadline) != 0) {
        info.si_pid = 0;
        if (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0)
            return true;
        usleep(2000);
    }
    return false;
}

Result<ChildOutcome> runChild(const std::vector<std::string>& arguments, const ChildOptions& options)
{
    if (arguments.empty())
        return FileError::fromErrno(EINVAL, "", false);
    const LaunchPlan plan(arguments, options.utf8Locale);
    ChildPipes pipes;
    if (options.writeGate)
        options.writeGate->pinToThisCpu();
    auto started = startChild(plan, options, pipes);
    if (!started) {
        if (options.writeGate)
            options.writeGate->unpin(0);
        return started.error();
    }

    RunningChild child(*started, options);
    ChildOutcome outcome;
    if (options.writeGate)
        child.passGate(*options.writeGate, outcome);
    child.collectOutput(pipes, outcome);
    child.awaitExit(outcome);
    return outcome;
}

} // namespace tavik::process
