#include "platform/process/ChildProcess.hpp"

#include "platform/foundation/FileError.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

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
    return run({"sh", "-c", script}, options);
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
    options.memoryLimit = std::uint64_t {256} << 20;
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

TEST(ChildProcessTest, StoppingEndsTheWholeProcessGroup)
{
    ChildOptions options;
    options.ownProcessGroup = true;
    options.timeLimit = std::chrono::seconds(60);
    options.outputLimit = 16;
    options.stopOnOutputOverflow = true;
    // The grandchild holds standard error open for a minute: only a kill of
    // the whole group ends the streams, and so the run, before the time limit.
    auto flooded = shell("sleep 120 & while :; do echo 0123456789; done", options);
    EXPECT_TRUE(flooded.outputOverflowed);
    EXPECT_FALSE(flooded.timedOut);
    EXPECT_EQ(flooded.signal, SIGKILL);

    options.timeLimit = std::chrono::milliseconds(200);
    options.outputLimit = std::numeric_limits<std::size_t>::max();
    for (const std::string script : {"sleep 60 & wait", "exec >&- 2>&-; sleep 60"}) {
        auto outcome = shell(script, options);
        EXPECT_TRUE(outcome.timedOut) << script;
        EXPECT_FALSE(outcome.exited) << script;
        EXPECT_EQ(outcome.signal, SIGKILL) << script;
    }

    options.timeLimit = std::chrono::seconds(60);
    auto quick = shell("echo done", options);
    EXPECT_FALSE(quick.timedOut);
    EXPECT_TRUE(quick.exited);
}

TEST(ChildProcessTest, ProgramThatCannotStartIsAnError)
{
    for (const std::string program : {"/nonexistent/tool", "no-such-tool-anywhere", "/etc"}) {
        auto outcome = runChild({program, "argument"});
        ASSERT_FALSE(outcome) << program;
        auto* fileError = dynamic_cast<const FileError*>(outcome.error().get());
        ASSERT_NE(fileError, nullptr);
        EXPECT_TRUE(fileError->errnoValue() == ENOENT || fileError->errnoValue() == EACCES) << program;
    }
    EXPECT_FALSE(runChild({}));
}
