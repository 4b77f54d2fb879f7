#include "actions/FileAction.hpp"
#include "actions/tests/TestActions.hpp"

#include <gtest/gtest.h>

#include <map>

using namespace tavik;
using namespace tavik::actions;
using namespace tavik::actions::testing;

namespace {
using Flat = FlatMapAction<int, std::string>;
using FlatResult = FileActionResult<std::vector<int>, std::vector<std::string>>;
using Expand = ScriptedAction<int, std::vector<std::string>>;
} // namespace

TEST(FlatMapTest, EmptyInputCompletesMappedEmptyOnTheGlobalQueue)
{
    Flat flat([](const int&) { return Flat::Action::transform({"never"}); });
    bool onGlobal = false;
    CompletionRecorder<FlatResult> recorder;
    auto record = recorder.completion();
    flat.perform({}, [&, record](FlatResult result) {
        onGlobal = dispatch::DispatchQueue::global()->isCurrent();
        record(std::move(result));
    });
    ASSERT_TRUE(recorder.result().isMapped());
    EXPECT_TRUE(recorder.result().output()->empty());
    EXPECT_TRUE(onGlobal);
}

TEST(FlatMapTest, DropsFailedAndIgnoredElementsAndKeepsEachElementsValuesTogether)
{
    Expand expand([](int i) {
        if (i % 3 == 0)
            return FileActionResult<int, std::vector<std::string>>::failure(i, testError("x"));
        if (i % 3 == 1)
            return FileActionResult<int, std::vector<std::string>>::ignored(i);
        return FileActionResult<int, std::vector<std::string>>::mapped(i, {std::to_string(i) + "a", std::to_string(i) + "b"});
    },
        Expand::Timing::elsewhere);
    Flat flat([&](const int& i) {
        if (i >= 100)
            return Flat::Action::transform({"t" + std::to_string(i)});
        return Flat::Action::runAction(expand.eraseToAnyFileAction());
    });
    std::vector<int> input;
    for (int i = 0; i < 30; ++i)
        input.push_back(i);
    input.push_back(100);

    for (int run = 0; run < 10; ++run) {
        CompletionRecorder<FlatResult> recorder;
        flat.perform(input, recorder.completion());
        const auto& values = *recorder.result().output();
        EXPECT_EQ(recorder.result().input, input);
        ASSERT_EQ(values.size(), 21u); // ten elements with two values, one transform
        std::map<std::string, int> seen;
        for (size_t i = 0; i < values.size(); ++i) {
            seen[values[i]]++;
            if (values[i].back() == 'a') {
                ASSERT_LT(i + 1, values.size());
                EXPECT_EQ(values[i + 1], values[i].substr(0, values[i].size() - 1) + "b");
            }
        }
        EXPECT_EQ(seen.count("t100"), 1u);
        EXPECT_EQ(seen.count("2a"), 1u);
        EXPECT_EQ(seen.count("3a"), 0u);
        EXPECT_EQ(recorder.settledCount(), 1);
    }
}

TEST(FlatMapTest, FlatMapWithAnActionRunsItForEveryElement)
{
    Expand twice([](int i) { return FileActionResult<int, std::vector<std::string>>::mapped(i, {std::to_string(i), std::to_string(i)}); },
        Expand::Timing::elsewhere);
    auto chain = PassthroughAction<std::vector<int>>().flatMap(twice);
    CompletionRecorder<FlatResult> recorder;
    chain.perform({1, 2, 3}, recorder.completion());
    auto values = *recorder.result().output();
    std::sort(values.begin(), values.end());
    EXPECT_EQ(values, (std::vector<std::string> {"1", "1", "2", "2", "3", "3"}));
    EXPECT_EQ(twice.starts(), 3);
}
