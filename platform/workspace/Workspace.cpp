#include "platform/workspace/Workspace.hpp"

#include "platform/foundation/FileError.hpp"
#include "platform/foundation/TypeIdentifier.hpp"
#include "platform/workspace/ApplicationBundle.hpp"
#include "platform/workspace/WorkspaceError.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tavik {

namespace {

// Waits for the process on a thread of its own, so that it is reaped the
// moment it ends and its state is told to whoever holds it.
void reapWhenEnded(const RunningApplicationPtr& application)
{
    std::thread([application] {
        int status = 0;
        pid_t result;
        do {
            result = ::waitpid(application->processIdentifier(), &status, 0);
        } while (result < 0 && errno == EINTR);
        application->markTerminated(result < 0 ? -1 : status);
    }).detach();
}

// Starts `program` (searched in PATH when `searchPath`) detached from us.
// Sets the process id and answers 0, or answers the errno of the failure.
int spawnDetached(const std::string& program, const std::vector<std::string>& arguments, bool searchPath, pid_t& pid)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, "/");
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    sigset_t noSignals;
    sigset_t allSignals;
    sigemptyset(&noSignals);
    sigfillset(&allSignals);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &allSignals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    int error = searchPath ? ::posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ)
                           : ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error;
}

bool isApplicationBundle(const std::filesystem::path& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && isApplication(path.filename().string(), S_ISDIR(status.st_mode));
}

} // namespace

std::shared_ptr<Workspace> Workspace::shared()
{
    static const auto workspace = std::make_shared<Workspace>();
    return workspace;
}

void Workspace::openApplication(const URL& url, const OpenConfiguration& configuration, OpenCompletion completion)
{
    auto opened = open(url, configuration);
    if (opened)
        completion(std::move(opened).value(), nullptr);
    else
        completion(nullptr, opened.error());
}

Result<RunningApplicationPtr> Workspace::open(const URL& url, const OpenConfiguration& configuration)
{
    const auto& path = url.path();
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return FileError::fromErrno(errno, path, false);
    pid_t pid = 0;
    if (isApplicationBundle(path)) {
        auto executable = bundleExecutable(path);
        if (!executable)
            return executable.error();
        if (int error = spawnDetached(executable->string(), configuration.arguments, false, pid))
            return WorkspaceError::make(WorkspaceError::Code::launchFailed, path, error);
    } else {
        // xdg-open takes one item; an absolute path cannot be mistaken for an option.
        if (int error = spawnDetached("xdg-open", {path.string()}, true, pid))
            return WorkspaceError::make(error == ENOENT ? WorkspaceError::Code::openerMissing : WorkspaceError::Code::launchFailed, path, error);
    }

    auto application = std::make_shared<RunningApplication>(url, pid, RunningApplication::Clock::now());
    reapWhenEnded(application);
    return application;
}

Result<RunningApplicationPtr> Workspace::launchProgram(const std::filesystem::path& executable, const OpenConfiguration& configuration)
{
    pid_t pid = 0;
    if (int error = spawnDetached(executable.string(), configuration.arguments, false, pid)) {
        if (error == ENOENT)
            return FileError::fromErrno(error, executable, false);
        return WorkspaceError::make(WorkspaceError::Code::launchFailed, executable, error);
    }
    auto application = std::make_shared<RunningApplication>(URL::fileURL(executable), pid, RunningApplication::Clock::now());
    reapWhenEnded(application);
    return application;
}

} // namespace tavik
