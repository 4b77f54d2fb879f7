#include "platform/process/WriteGate.hpp"

#include "platform/foundation/FileError.hpp"
#include "platform/process/ChildProcess.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <future>

using namespace tavik;
using namespace tavik::process;
namespace fs = std::filesystem;

namespace {

// Reads a file, then makes folders and a file in them.
const std::string readsThenWrites = "read line < \"$0/input\"; mkdir -p \"$0/made/a\" && echo \"$line\" > \"$0/made/a/file\"";

struct GatedRun {
    WriteGate gate;
    std::future<Result<ChildOutcome>> running;

    GatedRun(const fs::path& folder, std::optional<std::chrono::milliseconds> timeLimit = std::nullopt)
    {
        running = std::async(std::launch::async, [this, folder, timeLimit] {
            ChildOptions options;
            options.writeGate = &gate;
            options.timeLimit = timeLimit;
            return runChild({"sh", "-c", readsThenWrites, folder.string()}, options);
        });
    }

    // Whether the child was held; false where tracing is not permitted.
    bool held()
    {
        EXPECT_TRUE(tavik::testing::eventually([&] {
            return gate.reached() || running.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        }));
        return gate.reached();
    }
};

} // namespace

// The child reads before the gate but makes nothing while held; opened, it
// makes all of it; refused or out of time, it is killed having made none.
TEST(WriteGateTest, HoldsTheFirstChangeUntilOpenedAndARefusedChildChangesNothing)
{
    tavik::testing::ScratchFolder scratch("tavik-gate");
    std::ofstream(scratch / "input") << "read before the gate\n";

    {
        GatedRun run(scratch.path());
        if (!run.held()) {
            auto outcome = run.running.get();
            ASSERT_FALSE(outcome);
            ASSERT_EQ(errnoOf(outcome.error()), WriteGate::unavailable);
            GTEST_SKIP() << "tracing is not permitted here";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(fs::exists(scratch / "made"));
        run.gate.open();
        auto outcome = run.running.get();
        ASSERT_TRUE(outcome);
        EXPECT_TRUE(outcome->exited && outcome->exitStatus == 0) << outcome->standardError;
        std::ifstream made(scratch / "made/a/file");
        std::string line;
        std::getline(made, line);
        EXPECT_EQ(line, "read before the gate");
    }
    fs::remove_all(scratch / "made");

    {
        GatedRun run(scratch.path());
        ASSERT_TRUE(run.held());
        run.gate.refuse();
        auto outcome = run.running.get();
        ASSERT_TRUE(outcome);
        EXPECT_FALSE(outcome->exited);
        EXPECT_EQ(outcome->signal, SIGKILL);
        EXPECT_FALSE(outcome->timedOut);
        EXPECT_FALSE(fs::exists(scratch / "made"));
    }

    {
        GatedRun run(scratch.path(), std::chrono::milliseconds(300));
        ASSERT_TRUE(run.held());
        auto outcome = run.running.get(); // never decided
        ASSERT_TRUE(outcome);
        EXPECT_TRUE(outcome->timedOut);
        EXPECT_FALSE(outcome->exited);
        EXPECT_FALSE(fs::exists(scratch / "made"));
        run.gate.open(); // too late: nothing left to let go
    }
}

// A child that ends before it changes anything is reported as usual, and
// one refused before it starts never runs.
TEST(WriteGateTest, AChildThatEndsOnItsOwnIsReportedAndOneRefusedEarlyNeverRuns)
{
    WriteGate gate;
    ChildOptions options;
    options.writeGate = &gate;
    options.timeLimit = std::chrono::seconds(30);
    auto quiet = runChild({"sh", "-c", "read line < /etc/hostname; exit 7"}, options);
    if (!quiet && errnoOf(quiet.error()) == WriteGate::unavailable)
        GTEST_SKIP() << "tracing is not permitted here";
    ASSERT_TRUE(quiet);
    EXPECT_FALSE(gate.reached());
    EXPECT_TRUE(quiet->exited);
    EXPECT_EQ(quiet->exitStatus, 7);

    tavik::testing::ScratchFolder scratch("tavik-gate");
    WriteGate refused;
    refused.refuse();
    options.writeGate = &refused;
    auto outcome = runChild({"sh", "-c", "mkdir \"$0/made\"", scratch.path().string()}, options);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->signal, SIGKILL);
    EXPECT_FALSE(fs::exists(scratch / "made"));
}
