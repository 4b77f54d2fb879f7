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
