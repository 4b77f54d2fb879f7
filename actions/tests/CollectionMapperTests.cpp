#include "actions/FileAction.hpp"
#include "actions/tests/TestActions.hpp"
#include "platform/log/LogCapture.hpp"

#include <gtest/gtest.h>

#include <set>
#include <thread>

using namespace tavik;
using namespace tavik::actions;
using namespace tavik::actions::testing;

namespace {

using Elements = std::vector<int>;
using Source = ScriptedAction<int, Elements>;
using Element = ScriptedAction<int, int>;
using Mapper = CollectionOutputActionMapperAction<Source, Element>;
using MapperResult = FileActionResult<int, Mapper::Output>;

Source producing(Elements elements, Source::Timing timing = Source::Timing::synchronous)
{
    return Source([elements](int input) { return FileActionResult<int, Elements>::mapped(input, elements); }, timing);
}

Elements range(int count)
{
    Elements elements;
    for (int i = 0; i < count; ++i)
        elements.push_back(i);
    return elements;
}

} // namespace

TEST(CollectionMapperTest, EmptyCollectionCompletesAtOnceWithoutAskingTheHandler)
{
    log::LogCapture capture;
    bool asked = false;
    Mapper mapper(producing({}), Element([](int i) { return FileActionResult<int, int>::mapped(i, i); }),
        [&](const int&, const Elements&, Mapper::DecisionCallback) { asked = true; });
    CompletionRecorder<MapperResult> recorder;
    mapper.perform(1, recorder.completion());
    EXPECT_EQ(recorder.count(), 1); // synchronous
    EXPECT_TRUE(recorder.result().output()->empty());
    EXPECT_FALSE(asked);
    EXPECT_TRUE(capture.contains(log::Level::info, "First action produced a collection with 0 element(s)"));
    auto entries = capture.entries("Collection Output Mapper");
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries[0].subsystem, "app.tavik.TavikActions");
}

TEST(CollectionMapperTest, AFailedOrIgnoredFirstStepIsPassedOnAndNothingElseRuns)
{
    auto error = testError("search failed");
    Element second([](int i) { return FileActionResult<int, int>::mapped(i, i); });
    Mapper failed(Source([&](int input) { return FileActionResult<int, Elements>::failure(input, error); },
                      Source::Timing::elsewhere),
        second);
    CompletionRecorder<MapperResult> recorder;
    failed.perform(3, recorder.completion());
    EXPECT_EQ(recorder.result().error().get(), error.get());
    EXPECT_EQ(recorder.result().input, 3);

    Mapper ignored(Source([](int input) { return FileActionResult<int, Elements>::ignored(input); }), second);
    CompletionRecorder<MapperResult> ignoredRecorder;
    ignored.perform(4, ignoredRecorder.completion());
    EXPECT_TRUE(ignoredRecorder.result().isIgnored());
    EXPECT_EQ(second.starts(), 0);
}

// A handler that answers twice (ignore, then continue) still gives one
// result per element: the first answer counts.
TEST(CollectionMapperTest, HandlerIgnoringEveryElementGivesOneIgnoredEntryEachAndNeverRunsTheSecondAction)
{
    log::LogCapture capture;
    Element second([](int i) { return FileActionResult<int, int>::mapped(i, i); });
    Mapper mapper(producing(range(5)), second, [](const int&, const Elements&, Mapper::DecisionCallback callback) {
        callback(ContinueDecision::ignore);
        callback(ContinueDecision::continue_);
    });
    CompletionRecorder<MapperResult> recorder;
    mapper.perform(0, recorder.completion());
    const auto& results = *recorder.result().output();
    ASSERT_EQ(results.size(), 5u);
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_TRUE(results[i].isIgnored());
        EXPECT_EQ(results[i].input, static_cast<int>(i));
    }
    EXPECT_EQ(second.starts(), 0);
    EXPECT_EQ(recorder.settledCount(), 1);
    EXPECT_EQ(capture.count("Decision handler decided to ignore"), 5u);
}

TEST(CollectionMapperTest, HandlerErrorFailsOnlyItsElement)
{
    auto error = testError("no answer");
    Element second([](int i) { return FileActionResult<int, int>::mapped(i, i * 10); }, Element::Timing::elsewhere);
    Mapper mapper(producing(range(4)), second,
        [&](const int& element, const Elements& all, Mapper::DecisionCallback callback) {
            EXPECT_EQ(all.size(), 4u);
            if (element == 2)
                callback(error);
            else
                callback(ContinueDecision::continue_);
        });
    CompletionRecorder<MapperResult> recorder;
    mapper.perform(0, recorder.completion());
    const auto& results = *recorder.result().output();
    ASSERT_EQ(results.size(), 4u);
    int failures = 0;
    for (const auto& result : results) {
        if (result.input == 2) {
            ++failures;
            EXPECT_EQ(result.error().get(), error.get());
        } else {
            ASSERT_TRUE(result.output());
            EXPECT_EQ(*result.output(), result.input * 10);
        }
    }
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(second.starts(), 3);
}

TEST(CollectionMapperTest, KeepsOneResultPerElementWhenElementsFinishConcurrentlyInAnyOrder)
{
    log::LogCapture capture;
    constexpr int count = 200;
    std::atomic<int> finished {0};
    Element second([&](int i) {
        finished++;
        return FileActionResult<int, int>::mapped(i, -i);
    },
        Element::Timing::elsewhere);
    // Decisions answered from other threads too.
    Mapper mapper(producing(range(count), Source::Timing::elsewhere), second,
        [](const int& element, const Elements&, Mapper::DecisionCallback callback) {
            dispatch::DispatchQueue::global()->async([element, callback] {
                callback(element % 7 == 0 ? ContinueDecision::ignore : ContinueDecision::continue_);
            });
        });
    for (int run = 0; run < 5; ++run) {
        finished = 0;
        CompletionRecorder<MapperResult> recorder;
        mapper.perform(run, recorder.completion());
        const auto& results = *recorder.result().output();
        // Returned only after the last element finished.
        int expectedRuns = count - (count + 6) / 7;
        EXPECT_EQ(finished, expectedRuns);
        ASSERT_EQ(results.size(), static_cast<size_t>(count));
        std::set<int> inputs;
        for (const auto& result : results) {
            inputs.insert(result.input);
            if (result.input % 7 == 0)
                EXPECT_TRUE(result.isIgnored());
            else
                EXPECT_EQ(*result.output(), -result.input);
        }
        EXPECT_EQ(inputs.size(), static_cast<size_t>(count));
        EXPECT_EQ(recorder.settledCount(), 1);
    }
    EXPECT_EQ(capture.count("Got a result from the second action"), static_cast<size_t>(5 * (count - (count + 6) / 7)));
}

TEST(CollectionMapperTest, BlocksTheDeliveringThreadAndCompletesOnIt)
{
    std::thread::id delivering;
    Source first([&](int input) {
        delivering = std::this_thread::get_id();
        return FileActionResult<int, Elements>::mapped(input, range(3));
    },
        Source::Timing::elsewhere);
    Element second([](int i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return FileActionResult<int, int>::mapped(i, i);
    },
        Element::Timing::elsewhere);
    Mapper mapper(first, second);
    std::thread::id completedOn;
    CompletionRecorder<MapperResult> recorder;
    auto record = recorder.completion();
    mapper.perform(0, [&, record](MapperResult result) {
        completedOn = std::this_thread::get_id();
        record(std::move(result));
    });
    EXPECT_EQ(recorder.result().output()->size(), 3u);
    EXPECT_EQ(completedOn, delivering);
}
