#include "persistence/Transformers.hpp"
#include "persistence/UserDefaultsArrayDictionaryStorage.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::persistence;
using tavik::defaults::UserDefaults;
using ElementStorage = UserDefaultsArrayDictionaryStorage;
using Value = UserDefaultsValue;

namespace {

struct Mode {
    using RawValue = std::string;
    std::string raw;
    std::string rawValue() const { return raw; }
    static std::optional<Mode> fromRawValue(const std::string& value) { return value == "fast" || value == "slow" ? std::optional<Mode>(Mode {value}) : std::nullopt; }
    bool operator==(const Mode&) const = default;
};

// Dictionaries of the array under "Records" in one settings file.
class ArrayDictionaryStorageTest : public ::testing::Test {
protected:
    std::shared_ptr<UserDefaults> defaults() const { return UserDefaults::atPath(folder / "array.plist"); }
    std::shared_ptr<ElementStorage> storage(int64_t index) const { return std::make_shared<ElementStorage>("Records", index, defaults()); }
    void storeRecords(const Value& records) { ASSERT_TRUE(UserDefaultsStorage(defaults()).store(records, "Records")); }
    Value::Array array() const
    {
        auto stored = UserDefaultsStorage(defaults()).retrieve("Records");
        return stored && *stored && (*stored)->asArray() ? *(*stored)->asArray() : Value::Array {};
    }
    tavik::testing::ScratchFolder folder {"tavik-array"};
};

int64_t outOfBoundsIndex(const ErrorPtr& error)
{
    auto indexError = std::dynamic_pointer_cast<const ElementStorage::Error>(error);
    return indexError ? indexError->index() : -1000;
}

std::shared_ptr<const ElementStorage::RetrieveValueError> retrieveError(const ErrorPtr& error) { return std::dynamic_pointer_cast<const ElementStorage::RetrieveValueError>(error); }

} // namespace

TEST_F(ArrayDictionaryStorageTest, StoringAtTheEndAppendsAndFurtherOutFails)
{
    ASSERT_TRUE(storage(0)->store(Value("a"), "Name"));
    ASSERT_TRUE(storage(0)->store(Value(Number(1)), "Count"));
    ASSERT_TRUE(storage(1)->store(Value("b"), "Name"));
    EXPECT_EQ(outOfBoundsIndex(storage(3)->store(Value("d"), "Name").error()), 3);
    EXPECT_EQ(outOfBoundsIndex(storage(-1)->store(Value("x"), "Name").error()), -1);
    EXPECT_EQ(array(), (Value::Array {Value(Value::Dictionary {{"Name", Value("a")}, {"Count", Value(Number(1))}}), Value(Value::Dictionary {{"Name", Value("b")}})}));

    ASSERT_TRUE(storage(0)->remove("Count"));
    EXPECT_EQ(*storage(0)->retrieve("Count"), std::nullopt);
    EXPECT_EQ(*storage(0)->retrieve("Name"), Value("a"));
    EXPECT_EQ(outOfBoundsIndex(storage(2)->retrieve("Name").error()), 2);
    EXPECT_EQ(outOfBoundsIndex(storage(2)->remove("Name").error()), 2);
}

TEST_F(ArrayDictionaryStorageTest, AnEmptyElementOrAnArrayOfOtherThingsIsHandled)
{
    storeRecords(Value(Value::Array {Value(Value::Dictionary {})}));
    EXPECT_EQ(*storage(0)->retrieve("Name"), std::nullopt);
    storeRecords(Value("not an array"));
    EXPECT_TRUE(isPersistenceError(storage(0)->retrieve("Name").error(), PersistenceError::Case::unexpectedValueType));
    storeRecords(Value(Value::Array {Value("x")}));
    EXPECT_TRUE(isPersistenceError(storage(0)->store(Value("a"), "Name").error(), PersistenceError::Case::unexpectedValueType));
}

TEST_F(ArrayDictionaryStorageTest, RequiredAndOptionalValuesAndTheirPersisters)
{
    auto record = storage(0);
    ASSERT_TRUE(record->store(Value("fast"), "Mode"));
    ASSERT_TRUE(record->store(Value(Number(5)), "Count"));
    ASSERT_TRUE(record->store(Value("bogus"), "BadMode"));

    auto missing = retrieveError(record->requiredValue<std::string>("Name").error());
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->errorCase(), ElementStorage::RetrieveValueError::Case::valueMissing);
    EXPECT_EQ(missing->key(), "Name");
    auto wrongType = retrieveError(record->requiredValue<std::string>("Count").error());
    ASSERT_TRUE(wrongType);
    EXPECT_EQ(wrongType->errorCase(), ElementStorage::RetrieveValueError::Case::invalidValueType);
    EXPECT_EQ(wrongType->value(), Value(Number(5)));

    EXPECT_EQ(record->persister<int>("Count")->defaultValue(), 5);
    EXPECT_FALSE(record->persister<int>("Missing"));
    auto modes = std::make_shared<RawRepresentableTransformer<Mode>>();
    EXPECT_EQ(record->persister("Mode", modes)->defaultValue(), Mode {"fast"});
    auto badMode = record->persister("BadMode", modes);
    ASSERT_FALSE(badMode);
    EXPECT_EQ(badMode.error()->description(), "bogus is not a valid value for Mode");

    auto optional = record->optionalPersister<Data>("Bookmark");
    ASSERT_TRUE(optional);
    EXPECT_EQ(optional->defaultValue(), std::nullopt);
    ASSERT_TRUE(optional->store(Data {1}));
    EXPECT_EQ(*record->retrieve("Bookmark"), Value(Data {1}));
    ASSERT_TRUE(optional->store(std::nullopt));
    EXPECT_EQ(*record->retrieve("Bookmark"), std::nullopt);
    EXPECT_FALSE(record->optionalPersister<Data>("Count"));
}

TEST_F(ArrayDictionaryStorageTest, ObserversHearOnlyTheirOwnKeyAtTheirIndexAndFollowItsMove)
{
    ASSERT_TRUE(storage(0)->store(Value("a"), "Name"));
    ASSERT_TRUE(storage(1)->store(Value("b"), "Name"));
    auto observed = storage(1);
    std::vector<std::optional<Value>> received;
    auto token = observed->observe("Name", [&](const std::optional<Value>& value) { received.push_back(value); });

    ASSERT_TRUE(storage(0)->store(Value("changed"), "Name")); // another element
    ASSERT_TRUE(storage(1)->store(Value(Number(2)), "Count")); // another key
    ASSERT_TRUE(storage(1)->store(Value("b"), "Name")); // same value
    EXPECT_TRUE(received.empty());
    ASSERT_TRUE(storage(1)->store(Value("new"), "Name"));
    ASSERT_TRUE(storage(1)->remove("Name"));
    observed->setArrayIndex(0);
    ASSERT_TRUE(storage(0)->store(Value("moved"), "Name"));
    EXPECT_EQ(received, (std::vector<std::optional<Value>> {Value("new"), std::nullopt, Value("moved")}));
}
