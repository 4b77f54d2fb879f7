#include "actions/FileAction.hpp"
#include "actions/tests/TestActions.hpp"

#include <set>
#include <thread>

using namespace tavik;
using namespace tavik::actions;
using namespace tavik::testing;

namespace {

using Elements = std::vector<int>;
using Source = ScriptedAction<int, Elements>;
using Element = ScriptedAction<int, int>;
using Mapper = CollectionOutputActionMapperAction<Source, Element>;
using MapperResult = FileActionResult<int, Mapper::Output>;

Element negating()
{
    return Element([](int i) { return FileActionResult<int, int>::mapped(i, -i); }, Element::Timing::elsewhere);
}

TEST(CollectionMapperTest, AnEmptyCollectionOrAnUnmappedFirstStepEndsAtOnceWithoutTheHandlerOrTheSecondAction)
{
    auto error = testError("search failed");
    auto second = negating();
    bool asked = false;
    auto handler = [&](const int&, const Elements&, Mapper::DecisionCallback) { asked = true; };
    CompletionRecorder<MapperResult> empty;
    Mapper(counting(Source::Timing::synchronous), second, handler).perform(0, empty.completion());
    EXPECT_EQ(empty.count(), 1u) << "synchronous";
    EXPECT_TRUE(empty.result().output()->empty());
    auto failed = performed(Mapper(Source([&](int input) { return FileActionResult<int, Elements>::failure(input, error); }, Source::Timing::elsewhere), second, handler), 3);
    EXPECT_TRUE(failed && failed->error() == error && failed->input == 3);
    EXPECT_TRUE(performed(Mapper(Source([](int input) { return FileActionResult<int, Elements>::ignored(input); }), second, handler), 4)->isIgnored());
    EXPECT_FALSE(asked);
    EXPECT_EQ(second.starts(), 0);
}

// Decisions come from other threads too, and a handler may answer twice
// (the first answer counts); a handler's error fails only its element.
TEST(CollectionMapperTest, KeepsOneResultPerElementAsTheHandlerDecidesWhenElementsFinishConcurrentlyInAnyOrder)
{
    constexpr int count = 200;
    auto error = testError("no answer");
    auto second = negating();
    Mapper mapper(counting(Source::Timing::elsewhere), second, [&](const int& element, const Elements& all, Mapper::DecisionCallback callback) {
        EXPECT_EQ(all.size(), static_cast<size_t>(count));
        if (element == 2) return callback(error);
        if (element % 7 == 0) return callback(ContinueDecision::ignore), callback(ContinueDecision::continue_);
        dispatch::DispatchQueue::global()->async([callback] { callback(ContinueDecision::continue_); });
    });
    const int ignoredCount = (count + 6) / 7, runs = 5;
    for (int run = 0; run < runs; ++run) {
        CompletionRecorder<MapperResult> recorder;
        mapper.perform(count, recorder.completion());
        const auto& results = *recorder.result().output();
        // Returned only after the last element finished.
        EXPECT_EQ(second.starts(), (run + 1) * (count - ignoredCount - 1));
        ASSERT_EQ(results.size(), static_cast<size_t>(count));
        std::set<int> inputs;
        for (const auto& result : results) {
            inputs.insert(result.input);
            if (result.input == 2)
                EXPECT_EQ(result.error().get(), error.get());
            else if (result.input % 7 == 0)
                EXPECT_TRUE(result.isIgnored());
            else
                EXPECT_EQ(*result.output(), -result.input);
        }
        EXPECT_EQ(inputs.size(), static_cast<size_t>(count));
        EXPECT_EQ(recorder.settledCount(), 1u);
    }
}

TEST(CollectionMapperTest, BlocksTheDeliveringThreadAndCompletesOnIt)
{
    std::thread::id delivering, completedOn;
    Source first([&](int input) {
        delivering = std::this_thread::get_id();
        return FileActionResult<int, Elements>::mapped(input, {0, 1, 2});
    },
        Source::Timing::elsewhere);
    CompletionRecorder<MapperResult> recorder;
    Mapper(first, negating()).perform(0, [&, record = recorder.completion()](MapperResult result) {
        completedOn = std::this_thread::get_id();
        record(std::move(result));
    });
    EXPECT_EQ(recorder.result().output()->size(), 3u);
    EXPECT_EQ(completedOn, delivering);
}

} // namespace
