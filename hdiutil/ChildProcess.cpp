#include "hdiutil/ChildProcess.hpp"

#include "platform/foundation/BoundedText.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavik::hdiutil {
namespace {

struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error(std::string("cannot create a pipe: ") + std::strerror(errno));
        }
        readEnd = fds[0];
        writeEnd = fds[1];
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void closeRead() {
        if (readEnd >= 0) close(readEnd);
        readEnd = -1;
    }
    void closeWrite() {
        if (writeEnd >= 0) close(writeEnd);
        writeEnd = -1;
    }
};

std::vector<std::string> childEnvironment() {
    std::vector<std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text(*entry);
        if (text.starts_with("LC_ALL=") || text.starts_with("LANGUAGE=")) continue;
        result.emplace_back(text);
    }
    result.emplace_back("LC_ALL=C.UTF-8");
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& string : strings) result.push_back(string.data());
    result.push_back(nullptr);
    return result;
}

} // namespace

ChildOutcome runChild(const std::vector<std::string>& arguments, const ChildOptions& options) {
    if (arguments.empty()) throw std::invalid_argument("no program to run");
    auto argumentCopy = arguments;
    auto environment = childEnvironment();
    auto argv = pointers(argumentCopy);
    auto envp = pointers(environment);

    Pipe output;
    Pipe error;
    Pipe launchFailure; // the child writes errno here when exec fails
    int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0) throw std::runtime_error(std::string("cannot open /dev/null: ") + std::strerror(errno));

    pid_t pid = fork();
    if (pid < 0) {
        int saved = errno;
        close(devNull);
        throw std::runtime_error(std::string("cannot start ") + arguments[0] + ": " + std::strerror(saved));
    }
    if (pid == 0) {
        setpgid(0, 0);
        if (options.umask) umask(*options.umask);
        if (options.memoryLimit != 0) {
            rlimit limit{options.memoryLimit, options.memoryLimit};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
        }
        dup2(devNull, STDIN_FILENO);
        dup2(output.writeEnd, STDOUT_FILENO);
        dup2(error.writeEnd, STDERR_FILENO);
        execvpe(argv[0], argv.data(), envp.data());
        int failure = errno;
        ssize_t ignored = write(launchFailure.writeEnd, &failure, sizeof failure);
        (void)ignored;
        _exit(127);
    }
    close(devNull);
    setpgid(pid, pid); // also from here, so the group exists before any kill
    output.closeWrite();
    error.closeWrite();
    launchFailure.closeWrite();

    ChildOutcome outcome;
    auto deadline = std::chrono::steady_clock::now() + options.timeLimit;
    pollfd fds[2] = {{output.readEnd, POLLIN, 0}, {error.readEnd, POLLIN, 0}};
    BoundedText errorText(options.errorLimit / 2, options.errorLimit - options.errorLimit / 2);
    auto stop = [&] { kill(-pid, SIGKILL); };
    int openStreams = 2;
    while (openStreams > 0) {
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0) {
            outcome.timedOut = true;
            stop();
            break;
        }
        int ready = poll(fds, 2, static_cast<int>(std::min<long long>(remaining.count(), 1000)));
        if (ready < 0 && errno != EINTR) break;
        for (int index = 0; index < 2; ++index) {
            if (fds[index].fd < 0 || fds[index].revents == 0) continue;
            char buffer[8192];
            ssize_t count = read(fds[index].fd, buffer, sizeof buffer);
            if (count <= 0) {
                if (count < 0 && errno == EINTR) continue;
                fds[index].fd = -1;
                --openStreams;
                continue;
            }
            std::string_view piece(buffer, static_cast<size_t>(count));
            if (index == 1) {
                errorText.append(piece);
                continue;
            }
            auto& kept = outcome.standardOutput;
            if (piece.size() > options.outputLimit - kept.size()) {
                kept.append(piece.substr(0, options.outputLimit - kept.size()));
                outcome.outputOverflowed = true;
                stop();
                fds[0].fd = -1; // nothing more is wanted from it
                --openStreams;
            } else {
                kept.append(piece);
            }
        }
    }
    outcome.standardError = errorText.text();

    int status = 0;
    while (true) {
        pid_t done = waitpid(pid, &status, outcome.timedOut ? 0 : WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) break;
        if (done == 0) {
            // Both streams closed but the child still runs: wait for it
            // within the same limit.
            if (std::chrono::steady_clock::now() >= deadline) {
                outcome.timedOut = true;
                stop();
            } else {
                usleep(10000);
            }
        }
    }

    int launchError = 0;
    if (read(launchFailure.readEnd, &launchError, sizeof launchError) == static_cast<ssize_t>(sizeof launchError)) {
        throw std::runtime_error("cannot run " + arguments[0] + ": " + std::strerror(launchError));
    }
    if (WIFEXITED(status) && !outcome.timedOut && !outcome.outputOverflowed) {
        outcome.exited = true;
        outcome.exitStatus = WEXITSTATUS(status);
    }
    return outcome;
}

} // namespace tavik::hdiutil
