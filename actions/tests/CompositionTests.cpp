#include "actions/FileAction.hpp"
#include "actions/tests/TestActions.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::actions;
using namespace tavik::actions::testing;

using Timing = ScriptedAction<int, int>::Timing;

namespace {

ScriptedAction<int, int> failing(ErrorPtr error, Timing timing = Timing::synchronous)
{
    return ScriptedAction<int, int>([error](int input) { return FileActionResult<int, int>::failure(input, error); }, timing);
}

ScriptedAction<int, int> ignoring(Timing timing = Timing::synchronous)
{
    return ScriptedAction<int, int>([](int input) { return FileActionResult<int, int>::ignored(input); }, timing);
}

ScriptedAction<int, int> adding(int amount, Timing timing = Timing::synchronous)
{
    return ScriptedAction<int, int>([amount](int input) { return FileActionResult<int, int>::mapped(input, input + amount); }, timing);
}

} // namespace

TEST(ConcatenationTest, RunsBothStepsAndReportsAgainstTheFirstInput)
{
    for (auto timing : {Timing::synchronous, Timing::elsewhere}) {
        auto chain = adding(1, timing).then(adding(10, timing)).map([](const int& value) { return std::to_string(value); });
        CompletionRecorder<FileActionResult<int, std::string>> recorder;
        chain.perform(5, recorder.completion());
        EXPECT_EQ(recorder.result().input, 5);
        ASSERT_TRUE(recorder.result().output());
        EXPECT_EQ(*recorder.result().output(), "16");
        EXPECT_EQ(recorder.settledCount(), 1);
    }
}

// Whichever step fails or ignores, its result ends the chain unchanged (the
// same error object), against the chain's input; a second step after a
// failed or ignored first one never starts.
TEST(ConcatenationTest, AFailedOrIgnoredStepEndsTheChainWithItsOwnResult)
{
    auto error = testError("failed");
    for (auto timing : {Timing::synchronous, Timing::elsewhere}) {
        struct Case {
            const char* what;
            ScriptedAction<int, int> first, second;
            int secondStarts;
            bool failed;
        };
        const Case cases[] = {
            {"first fails", failing(error, timing), adding(1), 0, true},
            {"first ignores", ignoring(timing), adding(1), 0, false},
            {"second fails", adding(1, timing), failing(error, timing), 1, true},
            {"second ignores", adding(1, timing), ignoring(timing), 1, false},
        };
        for (const auto& step : cases) {
            SCOPED_TRACE(step.what);
            CompletionRecorder<FileActionResult<int, int>> recorder;
            step.first.then(step.second).perform(3, recorder.completion());
            EXPECT_EQ(recorder.result().input, 3);
            if (step.failed) {
                EXPECT_EQ(recorder.result().error().get(), error.get());
            } else {
                EXPECT_TRUE(recorder.result().isIgnored());
            }
            EXPECT_EQ(recorder.settledCount(), 1);
            EXPECT_EQ(step.second.starts(), step.secondStarts);
        }
    }
}

TEST(MapFileActionResultTest, ContinuesFromAnEarlierMappedResult)
{
    auto earlierStep = PassthroughAction<FileActionResult<int, int>>();
    auto chain = earlierStep.mapFileActionResult(adding(100, Timing::elsewhere));
    CompletionRecorder<FileActionResult<FileActionResult<int, int>, int>> recorder;
    chain.perform(FileActionResult<int, int>::mapped(1, 2), recorder.completion());
    EXPECT_EQ(recorder.result().input.input, 1);
    EXPECT_EQ(*recorder.result().input.output(), 2);
    EXPECT_EQ(*recorder.result().output(), 102);
}

TEST(MapFileActionResultTest, AnEarlierFailureOrIgnoreIsPassedOnWithTheSameErrorObject)
{
    auto error = testError("earlier");
    auto second = adding(1);
    FileActionMapAction<int, int, ScriptedAction<int, int>> continuation(second);

    CompletionRecorder<FileActionResult<FileActionResult<int, int>, int>> failed;
    continuation.perform(FileActionResult<int, int>::failure(9, error), failed.completion());
    EXPECT_EQ(failed.result().error().get(), error.get());
    EXPECT_EQ(failed.result().input.input, 9);
    EXPECT_EQ(failed.result().input.error().get(), error.get());

    CompletionRecorder<FileActionResult<FileActionResult<int, int>, int>> ignored;
    continuation.perform(FileActionResult<int, int>::ignored(9), ignored.completion());
    EXPECT_TRUE(ignored.result().isIgnored());
    EXPECT_TRUE(ignored.result().input.isIgnored());
    EXPECT_EQ(second.starts(), 0);
}

TEST(ChainTest, ChainsReadInTheOrderTheyRunAndCanBePerformedRepeatedly)
{
    // search -> per element extract -> keep the mapped outputs -> flatten
    ScriptedAction<int, std::vector<int>> search([](int count) {
        std::vector<int> found;
        for (int i = 0; i < count; ++i)
            found.push_back(i);
        return FileActionResult<int, std::vector<int>>::mapped(count, found);
    },
        ScriptedAction<int, std::vector<int>>::Timing::elsewhere);
    auto extract = adding(1000, Timing::elsewhere);
    using ElementResult = FileActionResult<int, int>;
    auto chain = search.mapEach(extract)
                     .compactMap([](const ElementResult& result) -> std::optional<int> {
                         return result.output() ? std::optional<int>(*result.output()) : std::nullopt;
                     })
                     .flatMap([](const int& value) { return FlatMapAction<int, int>::Action::transform({value, -value}); });

    for (int run = 0; run < 3; ++run) {
        CompletionRecorder<FileActionResult<int, std::vector<int>>> recorder;
        chain.perform(4, recorder.completion());
        auto values = *recorder.result().output();
        std::sort(values.begin(), values.end());
        EXPECT_EQ(values, (std::vector<int> {-1003, -1002, -1001, -1000, 1000, 1001, 1002, 1003}));
        EXPECT_EQ(recorder.settledCount(), 1);
    }
}
