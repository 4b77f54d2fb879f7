#include "persistence/InMemoryStorage.hpp"
#include "persistence/Persister.hpp"
#include "persistence/Transformers.hpp"
#include "platform/testing/Recorder.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::persistence;

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
struct Updates : tavik::testing::Recorder<Result<typename Persister<Value>::Update>> {
    typename Persister<Value>::UpdateListener listener()
    {
        return [this](const Result<typename Persister<Value>::Update>& update) { this->add(update); };
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

    auto received = updates.all();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_TRUE(received[0]->isPersisted());
    EXPECT_EQ(received[0]->newValue, red);
    EXPECT_EQ(std::get<ColorPersister::Update::Persisted>(received[0]->event).value, red);
    EXPECT_TRUE(received[1]->isRemoved());
    EXPECT_EQ(received[1]->newValue, green); // the default
    ASSERT_FALSE(received[2]);
    EXPECT_EQ(received[2].error()->description(), "purple is not a valid value for Color");

    token.cancel();
    ASSERT_TRUE(persister.store(green));
    EXPECT_EQ(updates.all().size(), 3u);
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
        EXPECT_EQ(updates.all().size(), 1u);
    }
    // The persister is gone: the storage no longer calls it.
    ASSERT_TRUE(storage->store(2, "key"));
    EXPECT_EQ(updates.all().size(), 1u);
}
