#include "actions/FileAction.hpp"
#include "actions/tests/TestActions.hpp"

using namespace tavik;
using namespace tavik::actions;
using namespace tavik::testing;

namespace {

using Step = ScriptedAction<int, int>;
using Timing = Step::Timing;

Step failing(ErrorPtr error, Timing timing = Timing::synchronous)
{
    return Step([error](int input) { return FileActionResult<int, int>::failure(input, error); }, timing);
}
Step ignoring(Timing timing = Timing::synchronous)
{
    return Step([](int input) { return FileActionResult<int, int>::ignored(input); }, timing);
}
Step adding(int amount, Timing timing = Timing::synchronous)
{
    return Step([amount](int input) { return FileActionResult<int, int>::mapped(input, input + amount); }, timing);
}

// Whichever step fails or ignores, its result ends the chain unchanged (the
// same error object), against the chain's input; a second step after a
// failed or ignored first one never starts.
TEST(ConcatenationTest, RunsBothStepsOrEndsWithTheFirstUnmappedResultAgainstTheFirstInput)
{
    auto error = testError("failed");
    for (auto timing : {Timing::synchronous, Timing::elsewhere}) {
        const struct {
            const char* what;
            Step first, second;
            int secondStarts;
            std::string outcome;
        } cases[] = {
            {"both map", adding(1, timing), adding(10, timing), 1, "14"},
            {"first fails", failing(error, timing), adding(1), 0, "failed"},
            {"first ignores", ignoring(timing), adding(1), 0, "ignored"},
            {"second fails", adding(1, timing), failing(error, timing), 1, "failed"},
            {"second ignores", adding(1, timing), ignoring(timing), 1, "ignored"},
        };
        for (const auto& step : cases) {
            SCOPED_TRACE(step.what);
            CompletionRecorder<FileActionResult<int, std::string>> recorder;
            step.first.then(step.second).map([](const int& value) { return std::to_string(value); }).perform(3, recorder.completion());
            const auto& result = recorder.result();
            EXPECT_EQ(result.input, 3);
            EXPECT_EQ(result.isIgnored() ? "ignored" : result.error() ? result.error()->description()
                                                                      : *result.output(),
                step.outcome);
            EXPECT_TRUE(!result.error() || result.error().get() == error.get()) << "not the step's own error";
            EXPECT_EQ(recorder.settledCount(), 1u);
            EXPECT_EQ(step.second.starts(), step.secondStarts);
        }
    }
}

TEST(MapFileActionResultTest, ContinuesFromAnEarlierMappedResultAndPassesOnItsFailureOrIgnore)
{
    using Chained = FileActionResult<FileActionResult<int, int>, int>;
    auto error = testError("earlier");
    auto second = adding(100, Timing::elsewhere);
    auto chain = PassthroughAction<FileActionResult<int, int>>().mapFileActionResult(second);
    CompletionRecorder<Chained> mapped;
    chain.perform(FileActionResult<int, int>::mapped(1, 2), mapped.completion());
    EXPECT_EQ(mapped.result().input.input, 1);
    EXPECT_EQ(*mapped.result().output(), 102);

    FileActionMapAction<int, int, Step> continuation(second);
    CompletionRecorder<Chained> failed, ignored;
    continuation.perform(FileActionResult<int, int>::failure(9, error), failed.completion());
    EXPECT_EQ(failed.result().error().get(), error.get());
    EXPECT_EQ(failed.result().input.error().get(), error.get());
    continuation.perform(FileActionResult<int, int>::ignored(9), ignored.completion());
    EXPECT_TRUE(ignored.result().isIgnored() && ignored.result().input.isIgnored());
    EXPECT_EQ(second.starts(), 1);
}

TEST(ChainTest, ChainsReadInTheOrderTheyRunAndCanBePerformedRepeatedly)
{
    // search -> per element extract -> keep the mapped outputs -> flatten
    auto chain = counting(Timing::elsewhere).mapEach(adding(1000, Timing::elsewhere)).compactMap([](const FileActionResult<int, int>& result) { return result.output() ? std::optional(*result.output()) : std::nullopt; }).flatMap([](const int& value) { return FlatMapAction<int, int>::Action::transform({value, -value}); });
    for (int run = 0; run < 3; ++run) {
        CompletionRecorder<FileActionResult<int, std::vector<int>>> recorder;
        chain.perform(4, recorder.completion());
        auto values = *recorder.result().output();
        std::sort(values.begin(), values.end());
        EXPECT_EQ(values, (std::vector<int> {-1003, -1002, -1001, -1000, 1000, 1001, 1002, 1003}));
        EXPECT_EQ(recorder.settledCount(), 1u);
    }
}

} // namespace
