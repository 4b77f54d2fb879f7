#include "persistence/Persister.hpp"
#include "persistence/UserDefaultsMappedArrayStorage.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::persistence;
using tavik::defaults::UserDefaults;
using Strings = std::vector<std::string>;
using ElementStorage = UserDefaultsArrayDictionaryStorage;

namespace {

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

TEST_F(MappedArrayStorageTest, StoringAListFailsWhenNothingIsStoredOrAModelIsNotItsOwn)
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

TEST_F(MappedArrayStorageTest, RecordsThatCannotBeBuiltAreLeftOutAndAListOfOtherThingsFails)
{
    storeRecords({record("A"), UserDefaultsValue(UserDefaultsValue::Dictionary {{"Name", UserDefaultsValue("no id")}}), record("C")});
    auto storage = makeStorage();
    auto records = storage->retrieve("Records");
    ASSERT_TRUE(records && *records);
    EXPECT_EQ(ids(**records), (Strings {"A", "C"}));
    EXPECT_EQ((**records)[1]->storage()->arrayIndex(), 2);

    ASSERT_TRUE(UserDefaultsStorage(defaults()).store(UserDefaultsValue("not a list"), "Records"));
    EXPECT_FALSE(storage->retrieve("Records"));
}

TEST_F(MappedArrayStorageTest, APersisterOfTheListFollowsAppendsAndRemovals)
{
    auto storage = makeStorage();
    Persister<Records> list("Records", storage, Records {});
    std::vector<Strings> published;
    auto token = list.valuePublisher().sink([&](const Records& records) { published.push_back(ids(records)); });

    append(*storage, "A");
    auto b = append(*storage, "B");
    ASSERT_TRUE(list.store({b}));
    ASSERT_TRUE(list.remove());
    EXPECT_EQ(list.currentValue().size(), 0u);
    // Each write notifies with the array as it is then: an appended record
    // appears once its fields are complete. The removal is not published.
    EXPECT_EQ(published, (std::vector<Strings> {{}, {}, {"A"}, {"A"}, {"A", "B"}, {"B"}}));
}

// Another writer removes records this storage holds models of, in every
// order, with a record no model can be built from among them.
TEST_F(MappedArrayStorageTest, ModelsKeepTheirOwnRecordsWhateverAnotherWriterRemoves)
{
    for (const Strings& order : {Strings {"A", "B", "C"}, Strings {"C", "B", "A"}, Strings {"B", "A", "C"}, Strings {"B", "C", "A"}}) {
        SCOPED_TRACE(order[0] + order[1] + order[2]);
        storeRecords({record("A"), UserDefaultsValue(UserDefaultsValue::Dictionary {{"ID", UserDefaultsValue("U")}}), record("B"), record("C")});
        auto storage = makeStorage();
        auto listed = **storage->retrieve("Records");
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
