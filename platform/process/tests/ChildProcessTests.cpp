#include "platform/process/ChildProcess.hpp"

#include "platform/foundation/FileError.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

using namespace tavik;
using namespace tavik::process;

namespace {

ChildOutcome shell(const std::string& script, const ChildOptions& options = {})
{
    auto outcome = runChild({"sh", "-c", script}, options);
    EXPECT_TRUE(outcome) << (outcome ? "" : outcome.error()->description());
    return outcome ? *outcome : ChildOutcome {};
}

} // namespace

TEST(ChildProcessTest, ReportsOutputStatusAndSignalTakesItsOwnSettingsAndAProgramThatCannotStartIsAnError)
{
    auto done = shell("read line; echo \"in:$line\"; echo out; echo err >&2; exit 3");
    EXPECT_TRUE(done.exited);
    EXPECT_EQ(done.status(), 3);
    EXPECT_EQ(done.standardOutput, "in:\nout\n"); // standard input is empty
    EXPECT_EQ(done.standardError, "err\n");

    auto killed = shell("kill -TERM $$");
    EXPECT_FALSE(killed.exited);
    EXPECT_EQ(killed.signal, SIGTERM);
    EXPECT_EQ(killed.status(), SIGTERM);

    for (const std::string program : {"/nonexistent/tool", "no-such-tool-anywhere", "/etc"}) {
        auto errnoValue = errnoOf(runChild({program, "argument"}).error());
        EXPECT_TRUE(errnoValue == ENOENT || errnoValue == EACCES) << program;
    }
    EXPECT_FALSE(runChild({}));

    // The umask, memory limit and locale reach only the child they are given to.
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    ChildOptions options;
    options.umask = 027;
    options.memoryLimit = std::uint64_t {256} << 20;
    options.utf8Locale = true;
    EXPECT_EQ(shell("umask; ulimit -v; echo \"$LC_ALL\"", options).standardOutput, "0027\n262144\nC.UTF-8\n");
    EXPECT_EQ(shell("echo \"$LC_ALL\"").standardOutput, "de_DE.UTF-8\n");
    unsetenv("LC_ALL");
}

TEST(ChildProcessTest, OutputIsBoundedAndAFloodOrTheTimeLimitEndsTheWholeProcessGroup)
{
    const std::string talker = "i=0; while [ $i -lt 2000 ]; do echo 0123456789; echo abcdefghij >&2; i=$((i+1)); done; "
                               "echo 'the end' >&2";
    ChildOptions options;
    options.outputLimit = 100;
    options.errorLimit = 64;
    auto drained = shell(talker, options);
    EXPECT_EQ(drained.status(), 0); // read to its end, the rest dropped
    EXPECT_TRUE(drained.outputOverflowed);
    EXPECT_TRUE(drained.standardOutput.starts_with("0123456789\n0123456789\n"));
    EXPECT_NE(drained.standardOutput.find("bytes left out"), std::string::npos);
    EXPECT_LT(drained.standardOutput.size(), 200u);
    EXPECT_TRUE(drained.standardError.starts_with("abcdefghij\n"));
    EXPECT_TRUE(drained.standardError.ends_with("the end\n"));
    EXPECT_LT(drained.standardError.size(), 160u);

    // The grandchild holds standard error open for two minutes: only a kill
    // of the whole group ends the streams, and so the run.
    options.stopOnOutputOverflow = true;
    options.ownProcessGroup = true;
    options.timeLimit = std::chrono::seconds(60);
    auto flooded = shell("sleep 120 & while :; do echo 0123456789; done", options);
    EXPECT_TRUE(flooded.outputOverflowed);
    EXPECT_FALSE(flooded.timedOut);
    EXPECT_EQ(flooded.signal, SIGKILL);
    EXPECT_TRUE(flooded.standardOutput.starts_with("0123456789\n"));

    // The time limit ends the whole process group.
    options = {};
    options.ownProcessGroup = true;
    options.timeLimit = std::chrono::milliseconds(200);
    for (const std::string script : {"sleep 60 & wait", "exec >&- 2>&-; sleep 60"}) {
        auto outcome = shell(script, options);
        EXPECT_TRUE(outcome.timedOut) << script;
        EXPECT_FALSE(outcome.exited) << script;
        EXPECT_EQ(outcome.signal, SIGKILL) << script;
    }
    options.timeLimit = std::chrono::seconds(60);
    EXPECT_FALSE(shell("echo done", options).timedOut);
}
