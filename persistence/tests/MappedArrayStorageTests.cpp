#include "persistence/Persister.hpp"
#include "persistence/UserDefaultsMappedArrayStorage.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::persistence;
using tavik::defaults::UserDefaults;
using tavik::testing::ScratchFolder;

namespace {

// A model in the manner of the application's records: an "ID" and a "Name".
class Record {
public:
    static Result<std::shared_ptr<Record>> build(const std::shared_ptr<UserDefaultsArrayDictionaryStorage>& storage)
    {
        auto id = storage->requiredValue<std::string>("ID");
        if (!id)
            return id.error();
        auto name = storage->persister<std::string>("Name");
        if (!name)
            return name.error();
        return std::make_shared<Record>(*id, storage, *name);
    }

    static Result<std::shared_ptr<Record>> create(const std::shared_ptr<UserDefaultsArrayDictionaryStorage>& storage,
        const std::string& id, const std::string& name)
    {
        TAVIK_TRY_VOID(storage->store(UserDefaultsValue(id), "ID"));
        TAVIK_TRY_VOID(storage->store(UserDefaultsValue(name), "Name"));
        return build(storage);
    }

    Record(std::string id, std::shared_ptr<UserDefaultsArrayDictionaryStorage> storage, Persister<std::string> name)
        : id_(std::move(id))
        , storage_(std::move(storage))
        , name(std::move(name))
    {
    }

    const std::string& id() const { return id_; }
    const std::shared_ptr<UserDefaultsArrayDictionaryStorage>& storage() const { return storage_; }

private:
    std::string id_;
    std::shared_ptr<UserDefaultsArrayDictionaryStorage> storage_;

public:
    Persister<std::string> name;
};

using Mapped = UserDefaultsMappedArrayStorage<Record>;
using Records = std::vector<std::shared_ptr<Record>>;

class MappedArrayStorageTest : public ::testing::Test {
protected:
    std::shared_ptr<UserDefaults> defaults() const { return UserDefaults::atPath(folder.path() / "mapped.plist"); }
    std::shared_ptr<Mapped> makeStorage() const { return std::make_shared<Mapped>(defaults(), &Record::build); }
    std::shared_ptr<Record> append(Mapped& storage, const std::string& id)
    {
        auto record = storage.appendNewValue("Records", id, [&](const auto& elementStorage) {
            return Record::create(elementStorage, id, "name of " + id);
        });
        EXPECT_TRUE(record) << record.error()->description();
        return record ? *record : nullptr;
    }
    std::vector<std::string> storedIDs() const
    {
        std::vector<std::string> ids;
        auto stored = UserDefaultsStorage(defaults()).retrieve("Records");
        if (stored && *stored && (*stored)->asArray())
            for (const auto& element : *(*stored)->asArray())
                ids.push_back(*element.asDictionary()->at("ID").asString());
        return ids;
    }
    static std::vector<std::string> ids(const Records& records)
    {
        std::vector<std::string> result;
        for (const auto& record : records)
            result.push_back(record->id());
        return result;
    }
    ScratchFolder folder;
};

} // namespace

TEST_F(MappedArrayStorageTest, StoringAListWhenNothingIsStoredFails)
{
    auto storage = makeStorage();
    EXPECT_EQ(*storage->retrieve("Records"), std::nullopt);
    auto failed = storage->store({}, "Records");
    ASSERT_FALSE(failed);
    auto error = std::dynamic_pointer_cast<const MappedArrayStoreValueError>(failed.error());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCase(), MappedArrayStoreValueError::Case::valueDoesNotExist);
}

TEST_F(MappedArrayStorageTest, ReorderingMovesDictionariesAndIndexes)
{
    auto storage = makeStorage();
    auto a = append(*storage, "A");
    auto b = append(*storage, "B");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(storedIDs(), (std::vector<std::string> {"A", "B"}));
    EXPECT_EQ(ids(**storage->retrieve("Records")), (std::vector<std::string> {"A", "B"}));

    ASSERT_TRUE(storage->store({b, a}, "Records"));
    EXPECT_EQ(storedIDs(), (std::vector<std::string> {"B", "A"}));
    EXPECT_EQ(b->storage()->arrayIndex(), 0);
    EXPECT_EQ(a->storage()->arrayIndex(), 1);
    // Each record's own persisters still address its own dictionary.
    ASSERT_TRUE(a->name.store("renamed A"));
    EXPECT_EQ(b->name.currentValue(), "name of B");
    EXPECT_EQ(a->name.currentValue(), "renamed A");

    // Leaving one out drops its element and renumbers the rest.
    auto c = append(*storage, "C");
    ASSERT_TRUE(storage->store({a, c}, "Records"));
    EXPECT_EQ(storedIDs(), (std::vector<std::string> {"A", "C"}));
    EXPECT_EQ(c->storage()->arrayIndex(), 1);
    EXPECT_EQ(c->name.currentValue(), "name of C");
}

TEST_F(MappedArrayStorageTest, ModelsNotMadeByThisStorageAreRefused)
{
    auto storage = makeStorage();
    append(*storage, "A");
    auto otherStorage = makeStorage();
    auto foreign = append(*otherStorage, "F");
    auto failed = storage->store({foreign}, "Records");
    ASSERT_FALSE(failed);
    auto error = std::dynamic_pointer_cast<const MappedArrayStoreValueError>(failed.error());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCase(), MappedArrayStoreValueError::Case::valueCreatedIllegally);
    EXPECT_EQ(error->modelID(), "F");
    EXPECT_EQ(storedIDs(), (std::vector<std::string> {"A", "F"}));
}

TEST_F(MappedArrayStorageTest, RecordsThatCannotBeBuiltAreLeftOut)
{
    UserDefaultsValue::Array array {
        UserDefaultsValue(UserDefaultsValue::Dictionary {{"ID", UserDefaultsValue("A")}, {"Name", UserDefaultsValue("a")}}),
        UserDefaultsValue(UserDefaultsValue::Dictionary {{"Name", UserDefaultsValue("no id")}}),
        UserDefaultsValue(UserDefaultsValue::Dictionary {{"ID", UserDefaultsValue("C")}, {"Name", UserDefaultsValue("c")}}),
    };
    ASSERT_TRUE(UserDefaultsStorage(defaults()).store(UserDefaultsValue(array), "Records"));
    auto storage = makeStorage();
    auto records = storage->retrieve("Records");
    ASSERT_TRUE(records && *records);
    EXPECT_EQ(ids(**records), (std::vector<std::string> {"A", "C"}));
    EXPECT_EQ((**records)[1]->storage()->arrayIndex(), 2);

    ASSERT_TRUE(UserDefaultsStorage(defaults()).store(UserDefaultsValue("not a list"), "Records"));
    EXPECT_FALSE(storage->retrieve("Records"));
}

TEST_F(MappedArrayStorageTest, APersisterOfTheListFollowsAppendsAndRemovals)
{
    auto storage = makeStorage();
    Persister<Records> list("Records", storage, Records {});
    std::vector<std::vector<std::string>> published;
    auto token = list.valuePublisher().sink([&](const Records& records) { published.push_back(ids(records)); });

    auto a = append(*storage, "A");
    auto b = append(*storage, "B");
    ASSERT_TRUE(list.store({b}));
    ASSERT_TRUE(list.remove());
    EXPECT_EQ(list.currentValue().size(), 0u);

    // Each write notifies with the array as it is then: an appended record
    // appears once its fields are complete. The removal is not published.
    std::vector<std::vector<std::string>> expected {{}, {}, {"A"}, {"A"}, {"A", "B"}, {"B"}};
    EXPECT_EQ(published, expected);
}

// Another storage over the same file stands for another process: it removes
// records this one holds models of, in every order.
TEST_F(MappedArrayStorageTest, ModelsKeepTheirOwnRecordsWhateverAnotherWriterRemoves)
{
    const std::vector<std::vector<std::string>> orders {
        {"A", "B", "C"},
        {"C", "B", "A"},
        {"B", "A", "C"},
        {"B", "C", "A"},
    };
    for (const auto& order : orders) {
        SCOPED_TRACE(order[0] + order[1] + order[2]);
        ASSERT_TRUE(defaults()->removeObject("Records"));
        auto storage = makeStorage();
        std::map<std::string, std::shared_ptr<Record>> records;
        for (const auto& id : {"A", "B", "C"})
            records[id] = append(*storage, id);
        // A record no model can be built from, between A and B.
        ASSERT_TRUE(UserDefaultsStorage(defaults()).update("Records", [](const std::optional<UserDefaultsValue>& stored) {
            auto array = *stored->asArray();
            array.insert(array.begin() + 1, UserDefaultsValue(UserDefaultsValue::Dictionary {{"ID", UserDefaultsValue("U")}}));
            return Result<std::optional<UserDefaultsValue>>(std::optional<UserDefaultsValue>(UserDefaultsValue(array)));
        }));

        std::vector<std::string> left {"A", "U", "B", "C"};
        for (const auto& removed : order) {
            auto other = makeStorage();
            auto otherRecords = **other->retrieve("Records");
            std::erase_if(otherRecords, [&](const auto& record) { return record->id() == removed; });
            ASSERT_TRUE(other->store(otherRecords, "Records"));
            std::erase(left, removed);
            EXPECT_EQ(storedIDs(), left) << "the unreadable record stays";

            // The removed record's model writes nothing; the others write their own.
            auto gone = records[removed]->name.store("late write");
            ASSERT_FALSE(gone);
            auto error = std::dynamic_pointer_cast<const UserDefaultsArrayDictionaryStorage::Error>(gone.error());
            ASSERT_TRUE(error);
            EXPECT_EQ(error->errorCase(), UserDefaultsArrayDictionaryStorage::Error::Case::recordNotFound);
            records.erase(removed);
            for (const auto& [id, record] : records) {
                ASSERT_TRUE(record->name.store("renamed " + id));
                EXPECT_EQ(record->name.currentValue(), "renamed " + id);
            }
            EXPECT_EQ(storedIDs(), left) << "no write adds a record";
        }
        // This storage's own list, stored now, keeps the unreadable record too.
        ASSERT_TRUE(storage->store(**storage->retrieve("Records"), "Records"));
        EXPECT_EQ(storedIDs(), std::vector<std::string> {"U"});
    }
}

TEST_F(MappedArrayStorageTest, StoringAListLeavesRecordsItDoesNotKnowAlone)
{
    auto storage = makeStorage();
    auto a = append(*storage, "A");
    auto b = append(*storage, "B");
    // Another process adds C after this storage last read the list.
    auto other = makeStorage();
    ASSERT_TRUE(other->retrieve("Records"));
    append(*other, "C");

    ASSERT_TRUE(storage->store({b}, "Records"));
    EXPECT_EQ(storedIDs(), (std::vector<std::string> {"B", "C"}));
    // A model whose record went meanwhile is not brought back.
    ASSERT_TRUE(other->store({}, "Records"));
    EXPECT_EQ(storedIDs(), std::vector<std::string> {});
    ASSERT_TRUE(storage->store({b}, "Records"));
    EXPECT_EQ(storedIDs(), std::vector<std::string> {});
}
