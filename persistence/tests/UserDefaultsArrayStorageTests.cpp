// The dictionaries of an array in the user defaults, and the models mapped
// onto them, over one settings file.
#include "persistence/Persister.hpp"
#include "persistence/Transformers.hpp"
#include "persistence/UserDefaultsArrayDictionaryStorage.hpp"
#include "persistence/UserDefaultsMappedArrayStorage.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::persistence;
using tavik::defaults::UserDefaults;
using ElementStorage = UserDefaultsArrayDictionaryStorage;
using Value = UserDefaultsValue;
using Strings = std::vector<std::string>;

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

// A model in the manner of the application's records: an "ID" and a "Name".
struct Record {
    static Result<std::shared_ptr<Record>> build(const std::shared_ptr<ElementStorage>& storage)
    {
        auto id = TAVIK_TRY(storage->requiredValue<std::string>("ID"));
        auto name = TAVIK_TRY(storage->persister<std::string>("Name"));
        return std::make_shared<Record>(Record {id, storage, name});
    }
    const std::string& id() const { return id_; }
    const std::shared_ptr<ElementStorage>& storage() const { return storage_; }

    std::string id_;
    std::shared_ptr<ElementStorage> storage_;
    Persister<std::string> name;
};

using Mapped = UserDefaultsMappedArrayStorage<Record>;
using Records = std::vector<std::shared_ptr<Record>>;

Strings ids(const Records& records)
{
    Strings result;
    for (const auto& record : records)
        result.push_back(record->id());
    return result;
}

// The result failed with an error of this type and case.
template <class ErrorType>
void expectFailure(const Result<void>& result, typename ErrorType::Case expected)
{
    ASSERT_FALSE(result);
    auto error = std::dynamic_pointer_cast<const ErrorType>(result.error());
    ASSERT_TRUE(error) << result.error()->description();
    EXPECT_EQ(error->errorCase(), expected);
}

// Storages over one settings file; another storage over it stands for
// another process.
class MappedArrayStorageTest : public ::testing::Test {
protected:
    std::shared_ptr<UserDefaults> defaults() const { return UserDefaults::atPath(folder / "mapped.plist"); }
    std::shared_ptr<Mapped> makeStorage() const { return std::make_shared<Mapped>(defaults(), &Record::build); }
    std::shared_ptr<Record> append(Mapped& storage, const std::string& id)
    {
        auto record = storage.appendNewValue("Records", id, [&](const auto& elementStorage) -> Result<std::shared_ptr<Record>> {
            TAVIK_TRY_VOID(elementStorage->store(UserDefaultsValue(id), "ID"));
            TAVIK_TRY_VOID(elementStorage->store(UserDefaultsValue("name of " + id), "Name"));
            return Record::build(elementStorage);
        });
        EXPECT_TRUE(record) << record.error()->description();
        return record ? *record : nullptr;
    }
    // The IDs in the file, in order.
    Strings storedIDs() const
    {
        Strings ids;
        auto stored = UserDefaultsStorage(defaults()).retrieve("Records");
        if (stored && *stored && (*stored)->asArray())
            for (const auto& element : *(*stored)->asArray())
                ids.push_back(*element.asDictionary()->at("ID").asString());
        return ids;
    }
    void storeRecords(UserDefaultsValue::Array array) { ASSERT_TRUE(UserDefaultsStorage(defaults()).store(UserDefaultsValue(std::move(array)), "Records")); }
    static UserDefaultsValue record(const std::string& id) { return UserDefaultsValue(UserDefaultsValue::Dictionary {{"ID", UserDefaultsValue(id)}, {"Name", UserDefaultsValue(id)}}); }

    tavik::testing::ScratchFolder folder {"tavik-mapped"};
};

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

TEST_F(MappedArrayStorageTest, StoringAListFailsWhenNothingIsStoredOrAModelIsNotItsOwnAndReadingOtherThingsFails)
{
    auto storage = makeStorage();
    EXPECT_EQ(*storage->retrieve("Records"), std::nullopt);
    expectFailure<MappedArrayStoreValueError>(storage->store({}, "Records"), MappedArrayStoreValueError::Case::valueDoesNotExist);

    append(*storage, "A");
    auto foreign = append(*makeStorage(), "F");
    auto failed = storage->store({foreign}, "Records");
    expectFailure<MappedArrayStoreValueError>(failed, MappedArrayStoreValueError::Case::valueCreatedIllegally);
    EXPECT_EQ(std::dynamic_pointer_cast<const MappedArrayStoreValueError>(failed.error())->modelID(), "F");
    EXPECT_EQ(storedIDs(), (Strings {"A", "F"}));

    ASSERT_TRUE(UserDefaultsStorage(defaults()).store(UserDefaultsValue("not a list"), "Records"));
    EXPECT_FALSE(storage->retrieve("Records")) << "a list of other things";
}

TEST_F(MappedArrayStorageTest, StoringAListReordersAndDropsOnlyRecordsItKnowsAndEachModelKeepsItsOwn)
{
    auto storage = makeStorage();
    auto a = append(*storage, "A");
    auto b = append(*storage, "B");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(ids(**storage->retrieve("Records")), (Strings {"A", "B"}));
    ASSERT_TRUE(storage->store({b, a}, "Records"));
    EXPECT_EQ(storedIDs(), (Strings {"B", "A"}));
    EXPECT_EQ(b->storage()->arrayIndex(), 0);
    EXPECT_EQ(a->storage()->arrayIndex(), 1);
    ASSERT_TRUE(a->name.store("renamed A"));
    EXPECT_EQ(b->name.currentValue(), "name of B");
    EXPECT_EQ(a->name.currentValue(), "renamed A");

    // Another process adds C after this storage last read the list: leaving
    // B out drops B alone and renumbers the rest.
    auto other = makeStorage();
    ASSERT_TRUE(other->retrieve("Records"));
    auto c = append(*other, "C");
    ASSERT_TRUE(storage->store({a}, "Records"));
    EXPECT_EQ(storedIDs(), (Strings {"A", "C"}));
    EXPECT_EQ(a->storage()->arrayIndex(), 0);
    EXPECT_EQ(c->name.currentValue(), "name of C");
    // A model whose record went meanwhile is not brought back.
    ASSERT_TRUE(other->store({}, "Records"));
    ASSERT_TRUE(storage->store({a}, "Records"));
    EXPECT_EQ(storedIDs(), Strings {});
}

// Another writer removes records this storage holds models of, in every
// order, with a record no model can be built from among them: that record
// is left out of the list, and kept in the file.
TEST_F(MappedArrayStorageTest, ModelsKeepTheirOwnRecordsWhateverAnotherWriterRemoves)
{
    for (const Strings& order : {Strings {"A", "B", "C"}, Strings {"C", "B", "A"}, Strings {"B", "A", "C"}, Strings {"B", "C", "A"}}) {
        SCOPED_TRACE(order[0] + order[1] + order[2]);
        storeRecords({record("A"), UserDefaultsValue(UserDefaultsValue::Dictionary {{"ID", UserDefaultsValue("U")}}), record("B"), record("C")});
        auto storage = makeStorage();
        auto listed = **storage->retrieve("Records");
        EXPECT_EQ(ids(listed), (Strings {"A", "B", "C"}));
        EXPECT_EQ(listed[1]->storage()->arrayIndex(), 2);
        std::map<std::string, std::shared_ptr<Record>> models;
        for (const auto& model : listed)
            models[model->id()] = model;

        Strings left {"A", "U", "B", "C"};
        for (const auto& removed : order) {
            auto other = makeStorage();
            auto otherRecords = **other->retrieve("Records");
            std::erase_if(otherRecords, [&](const auto& model) { return model->id() == removed; });
            ASSERT_TRUE(other->store(otherRecords, "Records"));
            std::erase(left, removed);
            EXPECT_EQ(storedIDs(), left) << "the unreadable record stays";

            // The removed record's model writes nothing; the others write their own.
            expectFailure<ElementStorage::Error>(models[removed]->name.store("late write"), ElementStorage::Error::Case::recordNotFound);
            models.erase(removed);
            for (const auto& [id, model] : models) {
                ASSERT_TRUE(model->name.store("renamed " + id));
                EXPECT_EQ(model->name.currentValue(), "renamed " + id);
            }
            EXPECT_EQ(storedIDs(), left) << "no write adds a record";
        }
        // This storage's own list, stored now, keeps the unreadable record too.
        ASSERT_TRUE(storage->store(**storage->retrieve("Records"), "Records"));
        EXPECT_EQ(storedIDs(), Strings {"U"});
    }
}
