#include "platform/process/ChildProcess.hpp"

#include "platform/foundation/FileError.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <sys/stat.h>

using namespace tavik;
using namespace tavik::process;

namespace {

ChildOutcome run(const std::vector<std::string>& arguments, const ChildOptions& options = {})
{
    auto outcome = runChild(arguments, options);
    EXPECT_TRUE(outcome) << (outcome ? "" : outcome.error()->description());
    return outcome ? *outcome : ChildOutcome {};
}

ChildOutcome shell(const std::string& script, const ChildOptions& options = {})
{
    return run({ "sh", "-c", script }, options);
}

// Gone, or a zombie waiting for its new parent: either way it was killed.
bool hasEnded(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, name, state;
    if (!(stat >> pidText >> name >> state))
        return true;
    return state == "Z" || state == "X";
}

} // namespace

TEST(ChildProcessTest, ReportsOutputStatusAndSignal)
{
    auto done = shell("read line; echo \"in:$line\"; echo out; echo err >&2; exit 3");
    EXPECT_TRUE(done.exited);
    EXPECT_EQ(done.exitStatus, 3);
    EXPECT_EQ(done.status(), 3);
    EXPECT_EQ(done.standardOutput, "in:\nout\n"); // standard input is empty
    EXPECT_EQ(done.standardError, "err\n");

    auto killed = shell("kill -TERM $$");
    EXPECT_FALSE(killed.exited);
    EXPECT_EQ(killed.signal, SIGTERM);
    EXPECT_EQ(killed.status(), SIGTERM);
}

TEST(ChildProcessTest, LimitsReachTheChild)
{
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    ChildOptions options;
    options.umask = 027;
    options.memoryLimit = std::uint64_t { 256 } << 20;
    options.utf8Locale = true;
    auto limited = shell("umask; ulimit -v; echo \"$LC_ALL\"", options);
    EXPECT_EQ(limited.standardOutput, "0027\n262144\nC.UTF-8\n");

    auto inherited = shell("echo \"$LC_ALL\"");
    EXPECT_EQ(inherited.standardOutput, "de_DE.UTF-8\n");
    unsetenv("LC_ALL");
}

TEST(ChildProcessTest, OutputIsBounded)
{
    const std::string talker = "i=0; while [ $i -lt 2000 ]; do echo 0123456789; echo abcdefghij >&2; i=$((i+1)); done; "
                               "echo 'the end' >&2";
    ChildOptions options;
    options.outputLimit = 100;
    options.errorLimit = 64;
    auto drained = shell(talker, options);
    EXPECT_TRUE(drained.exited); // read to its end, the rest dropped
    EXPECT_EQ(drained.exitStatus, 0);
    EXPECT_TRUE(drained.outputOverflowed);
    EXPECT_EQ(drained.standardOutput.substr(0, 22), "0123456789\n0123456789\n");
    EXPECT_NE(drained.standardOutput.find("bytes left out"), std::string::npos);
    EXPECT_LT(drained.standardOutput.size(), 200u);
    EXPECT_TRUE(drained.standardError.starts_with("abcdefghij\n"));
    EXPECT_TRUE(drained.standardError.ends_with("the end\n"));
    EXPECT_LT(drained.standardError.size(), 160u);

    options.stopOnOutputOverflow = true;
    auto stopped = shell("while :; do echo 0123456789; done", options);
    EXPECT_FALSE(stopped.exited);
    EXPECT_TRUE(stopped.outputOverflowed);
    EXPECT_EQ(stopped.signal, SIGKILL);
    EXPECT_EQ(stopped.standardOutput.substr(0, 11), "0123456789\n");
}

TEST(ChildProcessTest, TimeLimitEndsTheWholeProcessGroup)
{
    ChildOptions options;
    options.timeLimit = std::chrono::milliseconds(300);
    options.ownProcessGroup = true;
    // The grandchild holds both streams open after printing its id.
    auto outcome = shell("sleep 60 & echo $!; wait", options);
    EXPECT_TRUE(outcome.timedOut);
    EXPECT_FALSE(outcome.exited);
    pid_t grandchild = std::stoi(outcome.standardOutput);
    EXPECT_TRUE(hasEnded(grandchild)) << grandchild;

    // A child that closes its streams but lingers is still bound by the limit.
    auto lingering = shell("exec >&- 2>&-; sleep 60", options);
    EXPECT_TRUE(lingering.timedOut);
    EXPECT_EQ(lingering.signal, SIGKILL);

    auto quick = shell("echo done", options);
    EXPECT_FALSE(quick.timedOut);
    EXPECT_TRUE(quick.exited);
}

TEST(ChildProcessTest, ProgramThatCannotStartIsAnError)
{
    for (const std::string program : { "/nonexistent/tool", "no-such-tool-anywhere", "/etc" }) {
        auto outcome = runChild({ program, "argument" });
        ASSERT_FALSE(outcome) << program;
        auto* fileError = dynamic_cast<const FileError*>(outcome.error().get());
        ASSERT_NE(fileError, nullptr);
        EXPECT_TRUE(fileError->errnoValue() == ENOENT || fileError->errnoValue() == EACCES) << program;
    }
    EXPECT_FALSE(runChild({}));
}
