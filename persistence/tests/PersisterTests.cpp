#include "persistence/InMemoryStorage.hpp"
#include "persistence/Persister.hpp"
#include "persistence/Transformers.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::persistence;
using tavik::defaults::UserDefaults;

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
        if (raw == "red" || raw == "green")
            return Color {raw == "red" ? Case::red : Case::green};
        return std::nullopt;
    }
    bool operator==(const Color&) const = default;
};

const Color red {Color::Case::red}, green {Color::Case::green};
using ColorPersister = Persister<Color>;

std::shared_ptr<RawRepresentableTransformer<Color>> colorTransformer() { return std::make_shared<RawRepresentableTransformer<Color>>(); }

// Records what a persister's listeners receive.
template <class Value>
struct Updates {
    std::vector<Result<typename Persister<Value>::Update>> received;
    typename Persister<Value>::UpdateListener listener()
    {
        return [this](const Result<typename Persister<Value>::Update>& update) { received.push_back(update); };
    }
};

// Colors stored as their raw values under "color".
class ColorPersisterTest : public ::testing::Test {
protected:
    ColorPersister makePersister(Color defaultValue, DefaultValuePersistOption options = {}) { return ColorPersister("color", storage, colorTransformer(), defaultValue, options); }
    std::optional<std::string> stored() { return *storage->retrieve("color"); }
    std::shared_ptr<InMemoryStorage<std::string>> storage = std::make_shared<InMemoryStorage<std::string>>();
};

} // namespace

TEST(Persister, AMissingValueReadsAsTheDefaultComputedOnceAndWritesItOnlyWhenAsked)
{
    auto storage = std::make_shared<InMemoryStorage<int>>();
    int computed = 0;
    Persister<int> persister("key", storage, [&] { ++computed; return 42; });
    EXPECT_EQ(persister.currentValue(), 42);
    EXPECT_EQ(*persister.fetchOrDefault(), 42);
    EXPECT_EQ(*persister.fetch(), std::nullopt);
    EXPECT_EQ(*storage->retrieve("key"), std::nullopt);
    EXPECT_EQ(persister.defaultValue(), 42);
    EXPECT_EQ(computed, 1);
    ASSERT_TRUE(persister.store(7));
    EXPECT_EQ(persister.currentValue(), 7);
    ASSERT_TRUE(persister.remove());
    EXPECT_EQ(persister.currentValue(), 42);

    Persister<int> storing("stored", storage, 5, DefaultValuePersistOption::storeDefaultWhenAbsent);
    EXPECT_EQ(*storage->retrieve("stored"), std::nullopt);
    EXPECT_EQ(storing.currentValue(), 5);
    EXPECT_EQ(*storage->retrieve("stored"), std::optional<int>(5));

    // A Persisted reads and assigns through its persister.
    Persisted<int> value("persisted", storage, 3);
    EXPECT_EQ(int(value), 3);
    value = 9;
    EXPECT_EQ(value.wrappedValue(), 9);
    EXPECT_EQ(*value.projectedValue().fetch(), std::optional<int>(9));
}

TEST_F(ColorPersisterTest, AnInvalidRawValueReadsAsTheDefaultOrFailsWithItsText)
{
    ASSERT_TRUE(storage->store("purple", "color"));
    auto persister = makePersister(green);
    EXPECT_EQ(persister.currentValue(), green);
    auto fetched = persister.fetchOrDefault();
    ASSERT_FALSE(fetched);
    EXPECT_EQ(fetched.error()->description(), "purple is not a valid value for Color");
    EXPECT_EQ(stored(), "purple") << "nothing written with the empty option set";

    EXPECT_EQ(makePersister(red, DefaultValuePersistOption::storeDefaultWhenUnreadable).currentValue(), red);
    EXPECT_EQ(stored(), "red");
}

TEST_F(ColorPersisterTest, ListenersReceivePersistedRemovedAndErrorUpdatesUntilCancelled)
{
    auto persister = makePersister(green);
    Updates<Color> updates;
    auto token = persister.observe(updates.listener());
    ASSERT_TRUE(persister.store(red));
    ASSERT_TRUE(persister.remove());
    ASSERT_TRUE(storage->store("purple", "color"));
    ASSERT_TRUE(storage->store("red", "other key"));

    ASSERT_EQ(updates.received.size(), 3u);
    ASSERT_TRUE(updates.received[0]);
    EXPECT_TRUE(updates.received[0]->isPersisted());
    EXPECT_EQ(updates.received[0]->newValue, red);
    EXPECT_EQ(std::get<ColorPersister::Update::Persisted>(updates.received[0]->event).value, red);
    ASSERT_TRUE(updates.received[1]);
    EXPECT_TRUE(updates.received[1]->isRemoved());
    EXPECT_EQ(updates.received[1]->newValue, green); // the default
    ASSERT_FALSE(updates.received[2]);
    EXPECT_EQ(updates.received[2].error()->description(), "purple is not a valid value for Color");

    token.cancel();
    ASSERT_TRUE(persister.store(green));
    EXPECT_EQ(updates.received.size(), 3u);
}

TEST_F(ColorPersisterTest, ValuePublisherReplaysTheLatestPersistedValueOnly)
{
    ASSERT_TRUE(storage->store("red", "color"));
    auto persister = makePersister(green);
    std::vector<std::string> first, second;
    auto firstToken = persister.valuePublisher().sink([&](const Color& color) { first.push_back(color.rawValue()); });
    ASSERT_TRUE(persister.store(green));
    ASSERT_TRUE(persister.remove()); // not sent
    ASSERT_TRUE(storage->store("purple", "color")); // not sent
    auto secondToken = persister.valuePublisher().sink([&](const Color& color) { second.push_back(color.rawValue()); });
    EXPECT_EQ(first, (std::vector<std::string> {"red", "green"}));
    EXPECT_EQ(second, (std::vector<std::string> {"green"}));
}

TEST_F(ColorPersisterTest, OptionalValuesRemoveTheKeyWhenEmpty)
{
    Persister<std::optional<Color>> persister("color", storage, colorTransformer(), std::nullopt);
    EXPECT_EQ(persister.currentValue(), std::nullopt);
    ASSERT_TRUE(persister.store(red));
    EXPECT_EQ(stored(), "red");
    EXPECT_EQ(persister.currentValue(), red);
    ASSERT_TRUE(persister.store(std::nullopt));
    EXPECT_EQ(stored(), std::nullopt);
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

TEST(Persister, OverUserDefaultsKeepsKindsAndSeesOtherStoreObjects)
{
    tavik::testing::ScratchFolder folder("tavik-persister");
    auto file = folder / "persister.plist";
    Persister<bool> flag("hasRunInitialSetup", UserDefaults::atPath(file), false);
    Persister<Color> color("color", UserDefaults::atPath(file), colorTransformer(), red);
    Persister<std::vector<Data>> handled("HandledFiles", UserDefaults::atPath(file), std::vector<Data> {});

    Updates<bool> flagUpdates;
    auto token = flag.observe(flagUpdates.listener());
    EXPECT_FALSE(flag.currentValue());
    ASSERT_TRUE(UserDefaults::atPath(file)->set("hasRunInitialSetup", plist::PropertyList(true)));
    EXPECT_TRUE(flag.currentValue());
    ASSERT_EQ(flagUpdates.received.size(), 1u);
    EXPECT_TRUE(flagUpdates.received[0]->newValue);

    ASSERT_TRUE(color.store(green));
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
