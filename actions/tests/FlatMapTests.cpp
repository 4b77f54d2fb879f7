#include "actions/FileAction.hpp"
#include "actions/tests/TestActions.hpp"

#include <map>
#include <numeric>

using namespace tavik;
using namespace tavik::actions;
using namespace tavik::testing;

namespace {

using Flat = FlatMapAction<int, std::string>;
using FlatResult = FileActionResult<std::vector<int>, std::vector<std::string>>;
using Expand = ScriptedAction<int, std::vector<std::string>>;

TEST(FlatMapTest, EmptyInputCompletesMappedEmptyOnTheGlobalQueue)
{
    bool onGlobal = false;
    CompletionRecorder<FlatResult> recorder;
    Flat([](const int&) { return Flat::Action::transform({"never"}); }).perform({}, [&, record = recorder.completion()](FlatResult result) {
        onGlobal = dispatch::DispatchQueue::global()->isCurrent();
        record(std::move(result));
    });
    EXPECT_TRUE(recorder.result().isMapped() && recorder.result().output()->empty());
    EXPECT_TRUE(onGlobal);
}

// Elements run as transforms or as actions; failed and ignored ones are
// dropped, each element's values stay together.
TEST(FlatMapTest, DropsFailedAndIgnoredElementsAndKeepsEachElementsValuesTogether)
{
    Expand expand([](int i) {
        if (i % 3 == 0) return FileActionResult<int, std::vector<std::string>>::failure(i, testError("x"));
        if (i % 3 == 1) return FileActionResult<int, std::vector<std::string>>::ignored(i);
        return FileActionResult<int, std::vector<std::string>>::mapped(i, {std::to_string(i) + "a", std::to_string(i) + "b"});
    },
        Expand::Timing::elsewhere);
    Flat flat([&](const int& i) { return i >= 100 ? Flat::Action::transform({"t" + std::to_string(i)}) : Flat::Action::runAction(expand.eraseToAnyFileAction()); });
    std::vector<int> input(30);
    std::iota(input.begin(), input.end(), 0);
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
                EXPECT_EQ(values.at(i + 1), values[i].substr(0, values[i].size() - 1) + "b");
            }
        }
        EXPECT_EQ(seen.count("t100") + seen.count("2a") + seen.count("3a"), 2u);
        EXPECT_EQ(recorder.settledCount(), 1u);
    }
}

} // namespace
