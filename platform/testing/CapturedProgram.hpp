#pragma once

#include "platform/process/ChildProcess.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/Programs.hpp"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace tavik::testing {

// What a program wrote, and its exit status (128 plus the signal that ended it).
struct ProgramOutcome {
    int status = -1;
    std::string out, err;
};

// A program (found through PATH) started with its standard output and error
// going to the files <name>.out and <name>.err in `folder`, as a user runs
// it from a terminal.
class CapturedProgram {
public:
    CapturedProgram(const std::vector<std::string>& arguments, const std::filesystem::path& folder, const std::string& name = "program")
        : out_(folder / (name + ".out"))
        , err_(folder / (name + ".err"))
        , process_(start(arguments, std::nullopt, OutputFiles {out_, err_}))
    {
    }

    CapturedProgram(const CapturedProgram&) = delete;
    CapturedProgram& operator=(const CapturedProgram&) = delete;
    // A program not waited for (a test that failed early) is killed.
    ~CapturedProgram() { finish(std::chrono::milliseconds(0)); }

    // Waits for the program's end, once; one still running after `timeout` is killed: none.
    std::optional<ProgramOutcome> finish(std::chrono::milliseconds timeout = eventuallyTimeout)
    {
        if (process_ < 0)
            return std::nullopt;
        bool endedInTime = process::endsBy(process_, std::chrono::steady_clock::now() + timeout);
        if (!endedInTime)
            kill(process_, SIGKILL);
        int status = 0;
        waitpid(process_, &status, 0);
        process_ = -1;
        if (!endedInTime)
            return std::nullopt;
        return ProgramOutcome {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readFile(out_), readFile(err_)};
    }

private:
    std::filesystem::path out_, err_;
    pid_t process_ = -1;
};

} // namespace tavik::testing
