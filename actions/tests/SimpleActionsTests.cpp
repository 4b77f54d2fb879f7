#include "actions/FileAction.hpp"
#include "actions/tests/TestActions.hpp"

using namespace tavik;
using namespace tavik::actions;
using namespace tavik::testing;

// At once, in order, and never ignored, not even with nothing to keep.
TEST(SimpleActionsTest, CompactMapKeepsTheYieldedValuesInOrderAndNeverIgnores)
{
    std::vector<std::string> results;
    CompactMapAction<int, int> evensHalved([](const int& value) { return value % 2 ? std::nullopt : std::optional(value / 2); });
    for (const auto& input : {std::vector {4, 1, 8, 3, 2}, std::vector<int> {}, std::vector {1, 3}}) {
        evensHalved.perform(input, [&](auto result) {
            std::string line = std::to_string(result.input.size()) + "->";
            for (int value : *result.output()) line += std::to_string(value);
            results.push_back(line);
        });
    }
    EXPECT_EQ(results, (std::vector<std::string> {"5->241", "0->", "2->"}));
}
