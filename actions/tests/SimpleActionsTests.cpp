#include "actions/FileAction.hpp"
#include "actions/tests/TestActions.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::actions;
using namespace tavik::actions::testing;

TEST(FileActionResultTest, WithInputKeepsTheActionAndTheErrorObject)
{
    auto error = testError("broken");
    auto failure = FileActionResult<int, std::string>::failure(1, error);
    auto moved = failure.withInput(std::string("other"));
    EXPECT_EQ(moved.input, "other");
    EXPECT_EQ(moved.error().get(), error.get());

    auto ignored = FileActionResult<int, std::string>::ignored(1).withInput(2.5);
    EXPECT_EQ(ignored.input, 2.5);
    EXPECT_TRUE(ignored.isIgnored());

    auto mapped = FileActionResult<int, std::string>::mapped(1, "out").withInput('x');
    ASSERT_TRUE(mapped.output());
    EXPECT_EQ(*mapped.output(), "out");
}

TEST(SimpleActionsTest, TransformAndPassthroughCompleteSynchronouslyWithTheirInput)
{
    std::optional<FileActionResult<int, std::string>> transformed;
    TransformAction<int, std::string>([](const int& value) { return std::to_string(value * 2); })
        .perform(21, [&](auto result) { transformed = result; });
    ASSERT_TRUE(transformed && transformed->output());
    EXPECT_EQ(transformed->input, 21);
    EXPECT_EQ(*transformed->output(), "42");

    std::optional<FileActionResult<std::string, std::string>> passed;
    PassthroughAction<std::string>().perform("same", [&](auto result) { passed = result; });
    ASSERT_TRUE(passed && passed->output());
    EXPECT_EQ(passed->input, "same");
    EXPECT_EQ(*passed->output(), "same");
}

TEST(SimpleActionsTest, CompactMapKeepsYieldedValuesInOrderAndNeverIgnores)
{
    CompactMapAction<int, int> evensHalved([](const int& value) -> std::optional<int> {
        if (value % 2)
            return std::nullopt;
        return value / 2;
    });
    std::vector<FileActionResult<std::vector<int>, std::vector<int>>> results;
    auto record = [&](auto result) { results.push_back(result); };
    evensHalved.perform({4, 1, 8, 3, 2}, record);
    evensHalved.perform({}, record);
    evensHalved.perform({1, 3}, record);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].input, (std::vector<int> {4, 1, 8, 3, 2}));
    EXPECT_EQ(*results[0].output(), (std::vector<int> {2, 4, 1}));
    ASSERT_TRUE(results[1].isMapped());
    EXPECT_TRUE(results[1].output()->empty());
    ASSERT_TRUE(results[2].isMapped());
    EXPECT_TRUE(results[2].output()->empty());
}

TEST(AnyFileActionTest, ErasedTwiceStillCompletesOnceWithTheInnermostResult)
{
    auto error = testError("inner");
    ScriptedAction<int, int> inner([&](int input) { return FileActionResult<int, int>::failure(input, error); },
        ScriptedAction<int, int>::Timing::elsewhere);
    AnyFileAction<int, int> once(inner);
    AnyFileAction<int, int> twice(AnyFileAction<int, int>([once](int input, Completion<int, int> completion) {
        once.perform(input, std::move(completion));
    }));
    CompletionRecorder<FileActionResult<int, int>> recorder;
    twice.perform(5, recorder.completion());
    EXPECT_EQ(recorder.result().input, 5);
    EXPECT_EQ(recorder.result().error().get(), error.get());
    EXPECT_EQ(recorder.settledCount(), 1);
    EXPECT_EQ(inner.starts(), 1);
}

TEST(AnyFileActionTest, CopiesShareTheWrappedAction)
{
    ScriptedAction<int, int> inner([](int input) { return FileActionResult<int, int>::mapped(input, input); });
    auto erased = inner.eraseToAnyFileAction();
    auto copy = erased;
    erased.perform(1, [](auto) {});
    copy.perform(2, [](auto) {});
    EXPECT_EQ(inner.starts(), 2);
}
