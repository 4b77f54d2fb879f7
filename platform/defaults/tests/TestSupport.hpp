#pragma once

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tavik::defaults::testing {

// A fresh folder under the temporary directory, removed afterwards.
class TemporaryFolder {
public:
    TemporaryFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tavik-defaults-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder()
    {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

#ifdef TAVIK_DEFAULTS_WRITER
// Starts the writer program with these arguments; returns its process id.
inline pid_t startWriter(const std::vector<std::string>& arguments)
{
    std::vector<std::string> all {TAVIK_DEFAULTS_WRITER};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : all)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int status = ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    EXPECT_EQ(status, 0) << "cannot start " << argv[0];
    return pid;
}
#endif

// Waits for the process; its exit status (-signal when killed).
inline int waitFor(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (WIFSIGNALED(status))
        return -WTERMSIG(status);
    return WEXITSTATUS(status);
}

// Polls until the condition holds or the time is up.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

} // namespace tavik::defaults::testing
