#include "persistence/InMemoryStorage.hpp"
#include "persistence/Persister.hpp"
#include "persistence/Transformers.hpp"
#include "platform/defaults/tests/TestSupport.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::persistence;
using tavik::defaults::UserDefaults;
using tavik::defaults::testing::TemporaryFolder;

namespace {

struct Color {
    enum class Case {
        red,
        green
    };
    using RawValue = std::string;
    Case value;

    std::string rawValue() const { return value == Case::red ? "red" : "green"; }
    static std::optional<Color> fromRawValue(const std::string& raw)
    {
        if (raw == "red")
            return Color {Case::red};
        if (raw == "green")
            return Color {Case::green};
        return std::nullopt;
    }
    bool operator==(const Color&) const = default;
};

using ColorPersister = Persister<Color>;

std::shared_ptr<RawRepresentableTransformer<Color>> colorTransformer()
{
    return std::make_shared<RawRepresentableTransformer<Color>>();
}

// Records what a persister's listeners receive.
template <class Value>
struct Updates {
    std::vector<Result<typename Persister<Value>::Update>> received;
    typename Persister<Value>::UpdateListener listener()
    {
        return [this](const Result<typename Persister<Value>::Update>& update) { received.push_back(update); };
    }
};

} // namespace

TEST(Persister, AMissingValueReadsAsTheDefaultAndWritesNothing)
{
    auto storage = std::make_shared<InMemoryStorage<int>>();
    int computed = 0;
    Persister<int> persister("key", storage, [&] { ++computed; return 42; });
    EXPECT_EQ(persister.currentValue(), 42);
    EXPECT_EQ(*persister.fetchOrDefault(), 42);
    EXPECT_EQ(*persister.fetch(), std::nullopt);
    EXPECT_EQ(*storage->retrieve("key"), std::nullopt);
    EXPECT_EQ(persister.defaultValue(), 42);
    EXPECT_EQ(computed, 1); // computed once, then kept

    ASSERT_TRUE(persister.store(7));
    EXPECT_EQ(persister.currentValue(), 7);
    ASSERT_TRUE(persister.remove());
    EXPECT_EQ(persister.currentValue(), 42);
}

TEST(Persister, StoreDefaultWhenAbsentWritesTheDefaultOnFirstRead)
{
    auto storage = std::make_shared<InMemoryStorage<int>>();
    Persister<int> persister("key", storage, 5, DefaultValuePersistOption::storeDefaultWhenAbsent);
    EXPECT_EQ(*storage->retrieve("key"), std::nullopt);
    EXPECT_EQ(persister.currentValue(), 5);
    EXPECT_EQ(*storage->retrieve("key"), std::optional<int>(5));
}

TEST(Persister, AnInvalidRawValueReadsAsTheDefaultOrFailsWithItsText)
{
    auto storage = std::make_shared<InMemoryStorage<std::string>>();
    ASSERT_TRUE(storage->store("purple", "color"));
    ColorPersister persister("color", storage, colorTransformer(), Color {Color::Case::green});

    EXPECT_EQ(persister.currentValue(), Color {Color::Case::green});
    auto fetched = persister.fetchOrDefault();
    ASSERT_FALSE(fetched);
    EXPECT_EQ(fetched.error()->description(), "purple is not a valid value for Color");
    // Nothing written with the empty option set.
    EXPECT_EQ(*storage->retrieve("color"), std::optional<std::string>("purple"));

    ColorPersister repairing("color", storage, colorTransformer(), Color {Color::Case::red},
        DefaultValuePersistOption::storeDefaultWhenUnreadable);
    EXPECT_EQ(repairing.currentValue(), Color {Color::Case::red});
    EXPECT_EQ(*storage->retrieve("color"), std::optional<std::string>("red"));
}

TEST(Persister, ListenersReceivePersistedRemovedAndErrorUpdates)
{
    auto storage = std::make_shared<InMemoryStorage<std::string>>();
    ColorPersister persister("color", storage, colorTransformer(), Color {Color::Case::green});
    Updates<Color> updates;
    auto token = persister.observe(updates.listener());

    ASSERT_TRUE(persister.store(Color {Color::Case::red}));
    ASSERT_TRUE(persister.remove());
    ASSERT_TRUE(storage->store("purple", "color"));
    ASSERT_TRUE(storage->store("red", "other key"));

    ASSERT_EQ(updates.received.size(), 3u);
    ASSERT_TRUE(updates.received[0]);
    EXPECT_TRUE(updates.received[0]->isPersisted());
    EXPECT_EQ(updates.received[0]->newValue, Color {Color::Case::red});
    EXPECT_EQ(std::get<ColorPersister::Update::Persisted>(updates.received[0]->event).value, Color {Color::Case::red});
    ASSERT_TRUE(updates.received[1]);
    EXPECT_TRUE(updates.received[1]->isRemoved());
    EXPECT_EQ(updates.received[1]->newValue, Color {Color::Case::green}); // the default
    ASSERT_FALSE(updates.received[2]);
    EXPECT_EQ(updates.received[2].error()->description(), "purple is not a valid value for Color");

    token.cancel();
    ASSERT_TRUE(persister.store(Color {Color::Case::green}));
    EXPECT_EQ(updates.received.size(), 3u);
}

TEST(Persister, ValuePublisherReplaysTheLatestPersistedValueOnly)
{
    auto storage = std::make_shared<InMemoryStorage<std::string>>();
    ASSERT_TRUE(storage->store("red", "color"));
    ColorPersister persister("color", storage, colorTransformer(), Color {Color::Case::green});

    std::vector<std::string> first;
    auto firstToken = persister.valuePublisher().sink([&](const Color& color) { first.push_back(color.rawValue()); });
    ASSERT_TRUE(persister.store(Color {Color::Case::green}));
    ASSERT_TRUE(persister.remove()); // not sent
    ASSERT_TRUE(storage->store("purple", "color")); // not sent

    std::vector<std::string> second;
    auto secondToken = persister.valuePublisher().sink([&](const Color& color) { second.push_back(color.rawValue()); });
    EXPECT_EQ(first, (std::vector<std::string> {"red", "green"}));
    EXPECT_EQ(second, (std::vector<std::string> {"green"}));
}

TEST(Persister, CopiesShareOnePersisterAndItsSubscriptionEndsWithTheLast)
{
    auto storage = std::make_shared<InMemoryStorage<int>>();
    Updates<int> updates;
    publisher::AnyCancellable token;
    {
        Persister<int> persister("key", storage, 0);
        Persister<int> copy = persister;
        EXPECT_TRUE(copy == persister);
        token = copy.observe(updates.listener());
        ASSERT_TRUE(persister.store(1));
        EXPECT_EQ(updates.received.size(), 1u);
    }
    // The persister is gone: the storage no longer calls it.
    ASSERT_TRUE(storage->store(2, "key"));
    EXPECT_EQ(updates.received.size(), 1u);
}

TEST(Persister, OptionalValuesRemoveTheKeyWhenEmpty)
{
    auto storage = std::make_shared<InMemoryStorage<std::string>>();
    Persister<std::optional<Color>> persister("color", storage, colorTransformer(), std::nullopt);
    EXPECT_EQ(persister.currentValue(), std::nullopt);
    ASSERT_TRUE(persister.store(Color {Color::Case::red}));
    EXPECT_EQ(*storage->retrieve("color"), std::optional<std::string>("red"));
    EXPECT_EQ(persister.currentValue(), Color {Color::Case::red});
    ASSERT_TRUE(persister.store(std::nullopt));
    EXPECT_EQ(*storage->retrieve("color"), std::nullopt);
}

TEST(Persister, PersistedReadsAndAssignsThroughItsPersister)
{
    auto storage = std::make_shared<InMemoryStorage<int>>();
    Persisted<int> value("key", storage, 3);
    EXPECT_EQ(int(value), 3);
    value = 9;
    EXPECT_EQ(value.wrappedValue(), 9);
    EXPECT_EQ(*value.projectedValue().fetch(), std::optional<int>(9));
}

TEST(Persister, OverUserDefaultsKeepsKindsAndSeesOtherStoreObjects)
{
    TemporaryFolder folder;
    auto file = folder.path() / "persister.plist";
    Persister<bool> flag("hasRunInitialSetup", UserDefaults::atPath(file), false);
    Persister<ColorPersister::ValueType> color("color", UserDefaults::atPath(file), colorTransformer(), Color {Color::Case::red});
    Persister<std::vector<Data>> handled("HandledFiles", UserDefaults::atPath(file), std::vector<Data> {});

    Updates<bool> flagUpdates;
    auto token = flag.observe(flagUpdates.listener());
    EXPECT_FALSE(flag.currentValue());
    ASSERT_TRUE(UserDefaults::atPath(file)->set("hasRunInitialSetup", plist::PropertyList(true)));
    EXPECT_TRUE(flag.currentValue());
    ASSERT_EQ(flagUpdates.received.size(), 1u);
    EXPECT_TRUE(flagUpdates.received[0]->newValue);

    ASSERT_TRUE(color.store(Color {Color::Case::green}));
    ASSERT_TRUE(handled.store({Data {1, 2}, Data {3}}));
    auto onDisk = plist::PropertyList::readFile(file);
    ASSERT_TRUE(onDisk);
    EXPECT_EQ(onDisk->find("hasRunInitialSetup")->kind(), plist::PropertyList::Kind::boolean);
    EXPECT_EQ(*onDisk->find("color")->string(), "green");
    EXPECT_EQ(onDisk->find("HandledFiles")->array()->size(), 2u);
    EXPECT_EQ(handled.currentValue(), (std::vector<Data> {Data {1, 2}, Data {3}}));

    // A stored value of the wrong kind reads as the default.
    ASSERT_TRUE(UserDefaults::atPath(file)->set("hasRunInitialSetup", plist::PropertyList("yes")));
    EXPECT_FALSE(flag.currentValue());
    EXPECT_FALSE(flag.fetch());
    EXPECT_FALSE(flagUpdates.received.back());
}
