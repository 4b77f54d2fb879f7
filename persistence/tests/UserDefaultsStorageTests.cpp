#include "persistence/Persister.hpp"
#include "persistence/UserDefaultsStorage.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::persistence;
using tavik::defaults::UserDefaults;

namespace {

class UserDefaultsStorageTest : public ::testing::Test {
protected:
    std::shared_ptr<UserDefaults> defaults() const { return UserDefaults::atPath(folder / "storage.plist"); }
    tavik::testing::ScratchFolder folder {"tavik-storage"};
};

} // namespace

// Strings, data, lists and records are what every settings test stores.
TEST_F(UserDefaultsStorageTest, StoresEveryKindAndReadsItBack)
{
    UserDefaultsStorage storage(defaults());
    std::vector<std::pair<std::string, UserDefaultsValue>> values {
        {"url", UserDefaultsValue(URL::fileURL("/opt/Applications", true))},
        {"integer", UserDefaultsValue(Number(int64_t(-3)))},
        {"boolean", UserDefaultsValue(Number(false))},
        {"real", UserDefaultsValue(Number(0.25))},
        {"nested", UserDefaultsValue(UserDefaultsValue::Array {UserDefaultsValue(UserDefaultsValue::Dictionary {{"k", UserDefaultsValue(Data {})}})})},
    };
    for (const auto& [key, value] : values)
        ASSERT_TRUE(storage.store(value, key)) << key;
    for (const auto& [key, value] : values) {
        auto read = storage.retrieve(key);
        ASSERT_TRUE(read && *read) << key;
        EXPECT_EQ(**read, value) << key;
        EXPECT_EQ((*read)->kind(), value.kind()) << key;
    }
    EXPECT_EQ(*storage.retrieve("missing"), std::nullopt);
    // A path string stays a string; URLs are only what was stored as one.
    ASSERT_TRUE(storage.store(UserDefaultsValue("/opt/Applications"), "path"));
    EXPECT_EQ((*storage.retrieve("path"))->kind(), UserDefaultsValue::Kind::string);
    // A date has no UserDefaultsValue.
    ASSERT_TRUE(defaults()->set("date", plist::PropertyList(plist::Date {5})));
    EXPECT_EQ(*storage.retrieve("date"), std::nullopt);
}

TEST_F(UserDefaultsStorageTest, KeysWithADotWarnAndOnlyHearThisStorage)
{
    UserDefaultsStorage storage(defaults());
    std::vector<std::optional<UserDefaultsValue>> received;
    ::testing::internal::CaptureStdout();
    auto token = storage.observe("a.b", [&](const std::optional<UserDefaultsValue>& value) { received.push_back(value); });
    std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "WARNING: Attempting to observe the UserDefault key \"a.b\", which contains a dot (`.`). This will cause update listeners to only be called when the value is set on this instance. "
                       "If this is acceptable you may suppress this message by setting `Persister.suppressDotInUserDefaultsKeyWarning` to `true`. "
                       "See the documentation of UserDefaultsStorage for why keys containing a dot cannot be observed.\n");

    ASSERT_TRUE(storage.store(UserDefaultsValue("one"), "a.b"));
    ASSERT_TRUE(UserDefaultsStorage(defaults()).store(UserDefaultsValue("elsewhere"), "a.b"));
    ASSERT_TRUE(storage.remove("a.b"));
    EXPECT_EQ(received, (std::vector<std::optional<UserDefaultsValue>> {UserDefaultsValue("one")}));

    Persister<int>::suppressDotInUserDefaultsKeyWarning = true;
    ::testing::internal::CaptureStdout();
    auto quiet = storage.observe("c.d", [](const auto&) {});
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    PersisterSettings::suppressDotInUserDefaultsKeyWarning = false;

    token.cancel();
    ASSERT_TRUE(storage.store(UserDefaultsValue("two"), "a.b"));
    EXPECT_EQ(received.size(), 1u);
}
