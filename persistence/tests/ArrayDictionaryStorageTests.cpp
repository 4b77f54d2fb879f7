#include "persistence/Transformers.hpp"
#include "persistence/UserDefaultsArrayDictionaryStorage.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::persistence;
using tavik::defaults::UserDefaults;
using tavik::testing::ScratchFolder;
using ElementStorage = UserDefaultsArrayDictionaryStorage;

namespace {

struct Mode {
    using RawValue = std::string;
    std::string raw;
    std::string rawValue() const { return raw; }
    static std::optional<Mode> fromRawValue(const std::string& value)
    {
        if (value == "fast" || value == "slow")
            return Mode {value};
        return std::nullopt;
    }
    bool operator==(const Mode&) const = default;
};

class ArrayDictionaryStorageTest : public ::testing::Test {
protected:
    std::shared_ptr<UserDefaults> defaults() const { return UserDefaults::atPath(folder.path() / "array.plist"); }
    std::shared_ptr<ElementStorage> storage(int64_t index) const { return std::make_shared<ElementStorage>("Records", index, defaults()); }
    UserDefaultsValue::Array array() const
    {
        auto stored = UserDefaultsStorage(defaults()).retrieve("Records");
        return stored && *stored && (*stored)->asArray() ? *(*stored)->asArray() : UserDefaultsValue::Array {};
    }
    ScratchFolder folder;
};

int64_t outOfBoundsIndex(const ErrorPtr& error)
{
    auto indexError = std::dynamic_pointer_cast<const ElementStorage::Error>(error);
    return indexError ? indexError->index() : -1000;
}

} // namespace

TEST_F(ArrayDictionaryStorageTest, StoringAtTheEndAppendsAndFurtherOutFails)
{
    ASSERT_TRUE(storage(0)->store(UserDefaultsValue("a"), "Name"));
    ASSERT_TRUE(storage(0)->store(UserDefaultsValue(Number(1)), "Count"));
    ASSERT_TRUE(storage(1)->store(UserDefaultsValue("b"), "Name"));
    auto failed = storage(3)->store(UserDefaultsValue("d"), "Name");
    ASSERT_FALSE(failed);
    EXPECT_EQ(outOfBoundsIndex(failed.error()), 3);
    EXPECT_EQ(outOfBoundsIndex(storage(-1)->store(UserDefaultsValue("x"), "Name").error()), -1);

    auto stored = array();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0], UserDefaultsValue(UserDefaultsValue::Dictionary {{"Name", UserDefaultsValue("a")}, {"Count", UserDefaultsValue(Number(1))}}));
    EXPECT_EQ(stored[1], UserDefaultsValue(UserDefaultsValue::Dictionary {{"Name", UserDefaultsValue("b")}}));

    ASSERT_TRUE(storage(0)->remove("Count"));
    EXPECT_EQ(*storage(0)->retrieve("Count"), std::nullopt);
    EXPECT_EQ(*storage(0)->retrieve("Name"), UserDefaultsValue("a"));
    EXPECT_EQ(outOfBoundsIndex(storage(2)->retrieve("Name").error()), 2);
    EXPECT_EQ(outOfBoundsIndex(storage(2)->remove("Name").error()), 2);
}

TEST_F(ArrayDictionaryStorageTest, AnEmptyElementOrAnArrayOfOtherThingsIsHandled)
{
    ASSERT_TRUE(UserDefaultsStorage(defaults()).store(UserDefaultsValue(UserDefaultsValue::Array {UserDefaultsValue(UserDefaultsValue::Dictionary {})}), "Records"));
    EXPECT_EQ(*storage(0)->retrieve("Name"), std::nullopt);

    ASSERT_TRUE(UserDefaultsStorage(defaults()).store(UserDefaultsValue("not an array"), "Records"));
    auto failed = storage(0)->retrieve("Name");
    ASSERT_FALSE(failed);
    EXPECT_TRUE(isPersistenceError(failed.error(), PersistenceError::Case::unexpectedValueType));

    ASSERT_TRUE(UserDefaultsStorage(defaults()).store(UserDefaultsValue(UserDefaultsValue::Array {UserDefaultsValue("x")}), "Records"));
    EXPECT_TRUE(isPersistenceError(storage(0)->store(UserDefaultsValue("a"), "Name").error(), PersistenceError::Case::unexpectedValueType));
}

TEST_F(ArrayDictionaryStorageTest, RequiredAndOptionalValuesAndTheirPersisters)
{
    auto record = storage(0);
    ASSERT_TRUE(record->store(UserDefaultsValue("fast"), "Mode"));
    ASSERT_TRUE(record->store(UserDefaultsValue(Number(5)), "Count"));
    ASSERT_TRUE(record->store(UserDefaultsValue("bogus"), "BadMode"));

    auto missing = record->requiredValue<std::string>("Name");
    ASSERT_FALSE(missing);
    auto missingError = std::dynamic_pointer_cast<const ElementStorage::RetrieveValueError>(missing.error());
    ASSERT_TRUE(missingError);
    EXPECT_EQ(missingError->errorCase(), ElementStorage::RetrieveValueError::Case::valueMissing);
    EXPECT_EQ(missingError->key(), "Name");

    auto wrongType = record->requiredValue<std::string>("Count");
    ASSERT_FALSE(wrongType);
    auto typeError = std::dynamic_pointer_cast<const ElementStorage::RetrieveValueError>(wrongType.error());
    ASSERT_TRUE(typeError);
    EXPECT_EQ(typeError->errorCase(), ElementStorage::RetrieveValueError::Case::invalidValueType);
    EXPECT_EQ(typeError->value(), UserDefaultsValue(Number(5)));

    auto count = record->persister<int>("Count");
    ASSERT_TRUE(count);
    EXPECT_EQ(count->defaultValue(), 5);

    auto mode = record->persister("Mode", std::make_shared<RawRepresentableTransformer<Mode>>());
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->defaultValue(), Mode {"fast"});
    auto badMode = record->persister("BadMode", std::make_shared<RawRepresentableTransformer<Mode>>());
    ASSERT_FALSE(badMode);
    EXPECT_EQ(badMode.error()->description(), "bogus is not a valid value for Mode");

    auto optional = record->optionalPersister<Data>("Bookmark");
    ASSERT_TRUE(optional);
    EXPECT_EQ(optional->defaultValue(), std::nullopt);
    ASSERT_TRUE(optional->store(Data {1}));
    EXPECT_EQ(*record->retrieve("Bookmark"), UserDefaultsValue(Data {1}));
    ASSERT_TRUE(optional->store(std::nullopt));
    EXPECT_EQ(*record->retrieve("Bookmark"), std::nullopt);
    EXPECT_FALSE(record->optionalPersister<Data>("Count"));
    EXPECT_FALSE(record->persister<int>("Missing"));
}

TEST_F(ArrayDictionaryStorageTest, ObserversHearOnlyTheirOwnKeyAtTheirIndex)
{
    ASSERT_TRUE(storage(0)->store(UserDefaultsValue("a"), "Name"));
    ASSERT_TRUE(storage(1)->store(UserDefaultsValue("b"), "Name"));
    auto observed = storage(1);
    std::vector<std::optional<UserDefaultsValue>> received;
    auto token = observed->observe("Name", [&](const std::optional<UserDefaultsValue>& value) { received.push_back(value); });

    ASSERT_TRUE(storage(0)->store(UserDefaultsValue("changed"), "Name")); // another element
    ASSERT_TRUE(storage(1)->store(UserDefaultsValue(Number(2)), "Count")); // another key
    ASSERT_TRUE(storage(1)->store(UserDefaultsValue("b"), "Name")); // same value
    EXPECT_TRUE(received.empty());

    ASSERT_TRUE(storage(1)->store(UserDefaultsValue("new"), "Name"));
    ASSERT_TRUE(storage(1)->remove("Name"));
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], UserDefaultsValue("new"));
    EXPECT_EQ(received[1], std::nullopt);

    // The observer follows the storage's index when it moves.
    observed->setArrayIndex(0);
    ASSERT_TRUE(storage(0)->store(UserDefaultsValue("moved"), "Name"));
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[2], UserDefaultsValue("moved"));
}
