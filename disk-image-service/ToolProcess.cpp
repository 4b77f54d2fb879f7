#include "disk-image-service/ToolProcess.hpp"

#include "platform/foundation/BoundedText.hpp"
#include "platform/foundation/FileError.hpp"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavik::service {

namespace {

struct Pipe {
    int read = -1;
    int write = -1;

    Pipe() = default;
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe()
    {
        closeRead();
        closeWrite();
    }
    // Close-on-exec, so that tools started by other threads at the same
    // time do not hold this pipe open.
    bool open()
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return false;
        read = ends[0];
        write = ends[1];
        return true;
    }
    void closeRead()
    {
        if (read >= 0)
            close(read);
        read = -1;
    }
    void closeWrite()
    {
        if (write >= 0)
            close(write);
        write = -1;
    }
};

// Reads both pipes to their ends, whichever has data first.
void drain(Pipe& output, Pipe& error, BoundedText& outputText, BoundedText& errorText)
{
    char buffer[16384];
    while (output.read >= 0 || error.read >= 0) {
        pollfd fds[2] = {{output.read, POLLIN, 0}, {error.read, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int index = 0; index < 2; ++index) {
            if (fds[index].fd < 0 || fds[index].revents == 0)
                continue;
            Pipe& pipe = index == 0 ? output : error;
            BoundedText& text = index == 0 ? outputText : errorText;
            ssize_t got = ::read(pipe.read, buffer, sizeof buffer);
            if (got > 0)
                text.append(std::string_view(buffer, static_cast<size_t>(got)));
            else if (got == 0 || errno != EINTR)
                pipe.closeRead();
        }
    }
}

} // namespace

Result<ToolOutput> runTool(const std::filesystem::path& launchPath, const std::vector<std::string>& arguments,
    ToolLimits limits)
{
    Pipe output, error;
    if (!output.open() || !error.open())
        return FileError::fromErrno(errno, launchPath, false);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output.write, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, error.write, STDERR_FILENO);

    std::string name = launchPath.string();
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(name.data());
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    int launched = posix_spawn(&pid, launchPath.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (launched != 0)
        return FileError::fromErrno(launched, launchPath, false);

    output.closeWrite();
    error.closeWrite();
    ToolOutput result;
    BoundedText outputText(limits.outputBytes, 0);
    BoundedText errorText(limits.errorBytes / 2, limits.errorBytes - limits.errorBytes / 2);
    drain(output, error, outputText, errorText);
    result.standardOutput = outputText.text();
    result.standardError = errorText.text();

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return FileError::fromErrno(errno, launchPath, false);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? WTERMSIG(status) : status;
    return result;
}

} // namespace tavik::service
