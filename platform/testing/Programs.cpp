#include "platform/testing/Programs.hpp"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavik::testing {

pid_t start(const std::vector<std::string>& arguments, const std::optional<std::filesystem::path>& folder,
    const std::optional<OutputFiles>& output)
{
    if (arguments.empty())
        return -1;
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (folder)
        posix_spawn_file_actions_addchdir_np(&actions, folder->c_str());
    if (output) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output->out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, output->err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    pid_t child = 0;
    int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? child : -1;
}

int waitFor(pid_t process)
{
    int status = 0;
    while (waitpid(process, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

int run(const std::vector<std::string>& arguments, const std::optional<std::filesystem::path>& folder)
{
    auto process = start(arguments, folder);
    auto status = process > 0 ? waitFor(process) : -1;
    return status < 0 ? -1 : status;
}

} // namespace tavik::testing
