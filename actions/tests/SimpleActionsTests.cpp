#include "actions/FileAction.hpp"
#include "actions/tests/TestActions.hpp"

using namespace tavik;
using namespace tavik::actions;
using namespace tavik::testing;

TEST(SimpleActionsTest, TransformPassthroughAndCompactMapCompleteSynchronouslyWithTheirInput)
{
    std::vector<std::string> results;
    TransformAction<int, std::string>([](const int& value) { return std::to_string(value * 2); }).perform(21, [&](auto result) { results.push_back(std::to_string(result.input) + "->" + *result.output()); });
    PassthroughAction<std::string>().perform("same", [&](auto result) { results.push_back(result.input + "->" + *result.output()); });
    // CompactMap keeps the yielded values in order and never ignores, not even an empty outcome.
    CompactMapAction<int, int> evensHalved([](const int& value) { return value % 2 ? std::nullopt : std::optional(value / 2); });
    for (const auto& input : {std::vector {4, 1, 8, 3, 2}, std::vector<int> {}, std::vector {1, 3}}) {
        evensHalved.perform(input, [&](auto result) {
            std::string line = std::to_string(result.input.size()) + "->";
            for (int value : *result.output()) line += std::to_string(value);
            results.push_back(line);
        });
    }
    EXPECT_EQ(results, (std::vector<std::string> {"21->42", "same->same", "5->241", "0->", "2->"}));
}

TEST(AnyFileActionTest, ErasedTwiceStillCompletesOnceWithTheInnermostResultAndCopiesShareTheAction)
{
    auto error = testError("inner");
    ScriptedAction<int, int> inner([&](int input) { return FileActionResult<int, int>::failure(input, error); }, ScriptedAction<int, int>::Timing::elsewhere);
    AnyFileAction<int, int> once(inner);
    AnyFileAction<int, int> twice(AnyFileAction<int, int>([once](int input, Completion<int, int> completion) { once.perform(input, std::move(completion)); }));
    auto copy = twice;
    CompletionRecorder<FileActionResult<int, int>> recorder;
    copy.perform(5, recorder.completion());
    EXPECT_EQ(recorder.result().input, 5);
    EXPECT_EQ(recorder.result().error().get(), error.get());
    EXPECT_EQ(recorder.settledCount(), 1u);
    EXPECT_EQ(inner.starts(), 1);
}
