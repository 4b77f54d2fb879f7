#include "persistence/Transformers.hpp"
#include "persistence/UserDefaultsValue.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::persistence;

namespace sample {

struct Record {
    std::string name;
    int64_t count = 0;
    double ratio = 0;
    bool enabled = false;
    std::vector<std::string> tags;
    bool operator==(const Record&) const = default;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Record, name, count, ratio, enabled, tags)

enum class Level {
    low,
    high
};
} // namespace sample

template <>
struct tavik::persistence::RawRepresentableTraits<sample::Level> {
    using RawValue = int;
    static int rawValue(sample::Level level) { return level == sample::Level::low ? 0 : 1; }
    static std::optional<sample::Level> fromRawValue(int raw) { return raw == 0 || raw == 1 ? std::optional(sample::Level(raw)) : std::nullopt; }
};

TEST(RawRepresentableTransformer, NamesTheRawValueAndTheTypeWhenItFails)
{
    RawRepresentableTransformer<sample::Level> transformer;
    EXPECT_EQ(*transformer.transform(sample::Level::high), 1);
    EXPECT_EQ(*transformer.untransform(0), sample::Level::low);
    auto failed = transformer.untransform(7);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error()->description(), "7 is not a valid value for Level");
    auto error = std::dynamic_pointer_cast<const RawRepresentableUntransformError>(failed.error());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->rawValue(), "7");
}

TEST(JSONTransformer, RoundTripsAndReportsBadData)
{
    sample::Record record {"name", 3, 0.5, true, {"a", "b"}};
    JSONTransformer<sample::Record> transformer;
    auto data = transformer.transform(record);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()),
        R"({"count":3,"enabled":true,"name":"name","ratio":0.5,"tags":["a","b"]})");
    EXPECT_EQ(*transformer.untransform(*data), record);

    std::string notJSON = "{\"name\":";
    EXPECT_FALSE(transformer.untransform(Data(notJSON.begin(), notJSON.end())));
    std::string wrongShape = R"({"name": 5})";
    auto wrong = transformer.untransform(Data(wrongShape.begin(), wrongShape.end()));
    ASSERT_FALSE(wrong);
    EXPECT_TRUE(CodingError::is(wrong.error(), CodingError::Case::decodingFailed));
}

TEST(PropertyListTransformer, WritesARealPropertyListInEitherFormat)
{
    sample::Record record {"name", 3, 2.0, false, {}};
    for (auto format : {PropertyListEncoder::OutputFormat::binary, PropertyListEncoder::OutputFormat::xml}) {
        PropertyListTransformer<sample::Record> transformer(PropertyListEncoder {format});
        auto data = transformer.transform(record);
        ASSERT_TRUE(data);
        auto parsed = plist::PropertyList::parse(*data);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->find("count")->kind(), plist::PropertyList::Kind::integer);
        EXPECT_EQ(parsed->find("ratio")->kind(), plist::PropertyList::Kind::real);
        EXPECT_EQ(parsed->find("enabled")->kind(), plist::PropertyList::Kind::boolean);
        EXPECT_EQ(*transformer.untransform(*data), record);
    }
    // JSON null has no property-list form.
    PropertyListTransformer<nlohmann::json> any;
    EXPECT_FALSE(any.transform(nlohmann::json::object({{"a", nullptr}})));
    EXPECT_FALSE(any.untransform(Data {1, 2, 3}));
}

TEST(AggregateTransformer, TransformsThroughBothAndUntransformsInReverse)
{
    auto first = std::make_shared<AggregateTransformer<int, std::string>>(
        [](const int& value) -> Result<std::string> { return std::to_string(value); },
        [](const std::string& text) -> Result<int> { return std::stoi(text); });
    auto second = std::make_shared<AggregateTransformer<std::string, UserDefaultsValue>>(
        [](const std::string& text) -> Result<UserDefaultsValue> { return UserDefaultsValue(text + "!"); },
        [](const UserDefaultsValue& value) -> Result<std::string> {
            if (!value.asString())
                return GenericError::make("test", 1, "not a string");
            return value.asString()->substr(0, value.asString()->size() - 1);
        });
    auto chained = aggregate<int, std::string, UserDefaultsValue>(first, second);
    EXPECT_EQ(*chained->transform(12), UserDefaultsValue("12!"));
    EXPECT_EQ(*chained->untransform(UserDefaultsValue("34!")), 34);
    auto failed = chained->untransform(UserDefaultsValue(Number(1)));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error()->description(), "not a string");
}

TEST(StorableInUserDefaultsTransformer, ConvertsExactlyOrFailsWithTheTypeFound)
{
    StorableInUserDefaultsTransformer<bool> booleans;
    EXPECT_EQ(*booleans.untransform(UserDefaultsValue(Number(true))), true);
    EXPECT_EQ(*booleans.untransform(UserDefaultsValue(Number(int64_t(0)))), false);
    EXPECT_FALSE(booleans.untransform(UserDefaultsValue(Number(int64_t(2)))));
    auto failed = booleans.untransform(UserDefaultsValue("yes"));
    ASSERT_FALSE(failed);
    ASSERT_TRUE(isPersistenceError(failed.error(), PersistenceError::Case::unexpectedValueType));
    EXPECT_EQ(std::dynamic_pointer_cast<const PersistenceError>(failed.error())->expectedType(), "bool");

    StorableInUserDefaultsTransformer<int> integers;
    EXPECT_EQ(*integers.untransform(UserDefaultsValue(Number(3.0))), 3);
    EXPECT_FALSE(integers.untransform(UserDefaultsValue(Number(3.5))));
    EXPECT_FALSE(integers.untransform(UserDefaultsValue(Number(int64_t(1) << 40)))); // does not fit an int

    StorableInUserDefaultsTransformer<std::map<std::string, std::vector<double>>> nested;
    auto value = nested.transform({{"a", {1.5, 2}}});
    ASSERT_TRUE(value);
    EXPECT_EQ(*nested.untransform(*value), (std::map<std::string, std::vector<double>> {{"a", {1.5, 2}}}));
    EXPECT_FALSE(nested.untransform(UserDefaultsValue(UserDefaultsValue::Dictionary {{"a", UserDefaultsValue("x")}})));
}
