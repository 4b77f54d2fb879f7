#include "platform/defaults/UserDefaults.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/Recorder.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/Programs.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <random>
#include <thread>

using namespace tavik;
using namespace tavik::defaults;
using namespace tavik::testing;
using plist::PropertyList;

namespace tavik::plist {
void PrintTo(const PropertyList& value, std::ostream* stream) { *stream << value.description(); }
} // namespace tavik::plist

namespace {

struct Change {
    std::optional<PropertyList> oldValue, newValue;
    std::thread::id thread;
    bool operator==(const Change&) const = default;
};
using Changes = Recorder<Change>;

UserDefaults::Observer recordInto(Changes& changes)
{
    return [&changes](const auto& oldValue, const auto& newValue) { changes.add({oldValue, newValue, std::this_thread::get_id()}); };
}

// Another process storing {"counter" = i; "payload" = `payloadBytes` bytes of
// i % 256} under the key for i = 1...count (forever when count is 0).
pid_t startWriter(const std::filesystem::path& file, const std::string& key, int count, size_t payloadBytes = 0)
{
    return start({TAVIK_DEFAULTS_WRITER, file.string(), key, std::to_string(count), std::to_string(payloadBytes)});
}

// Whether the value is one such a writer stores, with i >= 1.
::testing::AssertionResult isWrittenState(const PropertyList* value, size_t payloadBytes)
{
    auto found = value && value->find("counter") ? value->find("counter")->integer() : std::nullopt;
    const int64_t counter = found.value_or(0);
    auto payload = value && value->find("payload") ? value->find("payload")->data() : nullptr;
    if (counter >= 1 && payload && *payload == plist::Data(payloadBytes, uint8_t(counter % 256)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not a written state of " << payloadBytes << " bytes: " << (value ? value->description().substr(0, 200) : "none");
}

class UserDefaultsTest : public ::testing::Test {
protected:
    std::filesystem::path file() const { return folder.path() / "settings" / "app.tavik.Test.plist"; }
    ScratchFolder folder {"tavik-defaults"};
};

} // namespace

TEST_F(UserDefaultsTest, WritesEveryKindAndURLsToAPrivateBinaryPropertyListInTheConfigFolderOrNothingOnFailure)
{
    auto defaults = UserDefaults::atPath(file());
    EXPECT_FALSE(defaults->object("missing"));
    const PropertyList::Dictionary written {{"string", PropertyList("text")}, {"integer", PropertyList(int64_t(3))}, {"boolean", PropertyList(true)},
        {"real", PropertyList(1.0)}, {"list", PropertyList(PropertyList::Array {PropertyList(plist::Data {1, 2})})}};
    for (const auto& [key, value] : written)
        ASSERT_TRUE(defaults->set(key, value));
    ASSERT_TRUE(defaults->set("gone", PropertyList("soon")));
    ASSERT_TRUE(defaults->removeObject("gone"));
    ASSERT_TRUE(defaults->removeObject("never there"));

    // Kinds compare too: 1.0 read back as 1 would differ.
    auto onDisk = PropertyList::readFile(file());
    ASSERT_TRUE(onDisk && readFile(file()).starts_with("bplist00"));
    EXPECT_EQ(*onDisk->dictionary(), written);
    EXPECT_EQ(defaults->dictionaryRepresentation(), written);
    EXPECT_EQ(modeOf(file()), 0600u);
    EXPECT_EQ(modeOf(file().parent_path()), 0700u);

    // URLs have a form of their own; only absolute paths count as URLs.
    auto url = URL::fileURL("/srv/Applications", true);
    ASSERT_TRUE(defaults->setURL("url", url));
    EXPECT_EQ(defaults->url("url"), url);
    EXPECT_TRUE(defaults->object("url")->data());
    // Data that is some other property list (a bookmark, say) is not a URL.
    std::string other = PropertyList(PropertyList::Dictionary {{"path", PropertyList("/x")}}).binaryRepresentation();
    ASSERT_TRUE(defaults->set("path", PropertyList("/srv/file")));
    ASSERT_TRUE(defaults->set("relative", PropertyList("srv/file")));
    ASSERT_TRUE(defaults->set("bookmark", PropertyList(plist::Data(other.begin(), other.end()))));
    EXPECT_EQ(defaults->url("path"), URL::fileURL("/srv/file", false));
    for (const char* key : {"relative", "bookmark", "missing"})
        EXPECT_EQ(defaults->url(key), std::nullopt) << key;

    // A write that cannot create the folder (a file is in the way; root
    // ignores modes) changes nothing.
    writeFile(folder / "blocker", "");
    auto blocked = UserDefaults::atPath(folder / "blocker/settings.plist");
    EXPECT_FALSE(blocked->set("key", PropertyList(1)));
    EXPECT_FALSE(blocked->object("key"));

    ScopedEnvironment environment;
    environment.set("XDG_CONFIG_HOME", folder.path());
    EXPECT_EQ(UserDefaults::standard()->filePath(), folder / "tavik/app.tavik.Tavik.plist");
    ASSERT_TRUE(UserDefaults::suite("other")->set("a", PropertyList(1)));
    EXPECT_TRUE(std::filesystem::exists(folder / "tavik/other.plist"));
}

// Observers hear changes of their key from any store object of the file,
// on the writing thread, and may write from inside the call.
TEST_F(UserDefaultsTest, StoresOfOneFileShareStateAndObservers)
{
    auto first = UserDefaults::atPath(file());
    auto second = UserDefaults::atPath(folder.path() / "settings" / "." / "app.tavik.Test.plist");
    Changes recorder;
    auto token = first->observe("key", recordInto(recorder));
    auto echo = first->observe("key", [&](const auto&, const std::optional<PropertyList>& newValue) {
        EXPECT_TRUE(!newValue || first->set("echo", *newValue));
    });

    std::thread writer([&] { ASSERT_TRUE(second->set("key", PropertyList("one"))); });
    const auto writerThread = writer.get_id();
    writer.join();
    EXPECT_EQ(first->object("key"), PropertyList("one"));
    EXPECT_EQ(second->object("echo"), PropertyList("one"));
    ASSERT_TRUE(second->set("key", PropertyList("one"))); // unchanged: no call
    ASSERT_TRUE(second->set("other", PropertyList("x"))); // another key: no call
    ASSERT_TRUE(first->removeObject("key"));

    EXPECT_EQ(recorder.all(), (std::vector<Change> {{std::nullopt, PropertyList("one"), writerThread}, {PropertyList("one"), std::nullopt, std::this_thread::get_id()}}));

    token.cancel();
    ASSERT_TRUE(second->set("key", PropertyList("two")));
    EXPECT_EQ(recorder.all().size(), 2u);
}

// Another process's writes reach observers through the watcher thread, in
// order (perhaps coalesced), never through a read: a reader may hold locks of
// its own. What two processes write at once and our next write all land.
TEST_F(UserDefaultsTest, OtherProcessesWritesReachObserversInOrderNeverThroughAReadAndAllLand)
{
    auto defaults = UserDefaults::atPath(file());
    ASSERT_TRUE(defaults->set("mine", PropertyList(1)));
    Changes recorder;
    auto token = defaults->observe("theirs", recordInto(recorder));
    auto writer = startWriter(file(), "theirs", 200);
    auto another = startWriter(file(), "another", 150, 64);
    int64_t lastRead = 0;
    for (auto deadline = std::chrono::steady_clock::now() + eventuallyTimeout;
         lastRead < 200 && std::chrono::steady_clock::now() < deadline;) {
        if (auto value = defaults->object("theirs"))
            lastRead = *value->find("counter")->integer();
    }
    EXPECT_EQ(waitFor(writer), 0);
    EXPECT_EQ(waitFor(another), 0);
    ASSERT_TRUE(eventually([&] {
        auto changes = recorder.all();
        return !changes.empty() && changes.back().newValue->find("counter")->integer() == 200;
    }));
    auto changes = recorder.all();
    EXPECT_FALSE(changes.front().oldValue);
    int64_t previous = 0;
    for (const auto& change : changes) {
        EXPECT_NE(change.thread, std::this_thread::get_id());
        auto counter = *change.newValue->find("counter")->integer();
        EXPECT_GT(counter, previous) << "never an older value after a newer one";
        previous = counter;
    }

    ASSERT_TRUE(defaults->set("mine", PropertyList(2)));
    auto onDisk = PropertyList::readFile(file());
    ASSERT_TRUE(onDisk);
    EXPECT_EQ(onDisk->find("mine")->integer(), 2);
    for (auto [key, writes, payloadBytes] : {std::tuple("theirs", 200, 0), std::tuple("another", 150, 64)}) {
        ASSERT_TRUE(isWrittenState(onDisk->find(key), size_t(payloadBytes))) << key;
        EXPECT_EQ(onDisk->find(key)->find("counter")->integer(), writes) << key;
    }
}

// Threads writing through store objects of their own: a read-change-write of
// one key is one step against every writer, every write of their own keys
// lands, and every change is observed; a change that fails writes nothing.
TEST_F(UserDefaultsTest, WritesAndUpdatesFromManyThreadsLoseNothing)
{
    constexpr int threads = 4, writes = 25;
    Changes recorders[threads];
    std::vector<publisher::AnyCancellable> tokens;
    auto defaults = UserDefaults::atPath(file());
    for (int index = 0; index < threads; ++index)
        tokens.push_back(defaults->observe("key" + std::to_string(index), recordInto(recorders[index])));
    auto append = [](const std::optional<PropertyList>& stored) {
        PropertyList::Array array;
        if (stored && stored->array())
            array = *stored->array();
        array.emplace_back(int64_t(array.size()));
        return Result<std::optional<PropertyList>>(std::optional<PropertyList>(PropertyList(array)));
    };
    std::vector<std::thread> workers;
    for (int index = 0; index < threads; ++index)
        workers.emplace_back([&, index] {
            auto own = UserDefaults::atPath(file());
            for (int value = 1; value <= writes; ++value) {
                ASSERT_TRUE(own->update("list", append));
                ASSERT_TRUE(own->set("key" + std::to_string(index), PropertyList(value)));
                (void)own->object("key" + std::to_string((index + 1) % threads));
            }
        });
    for (auto& worker : workers)
        worker.join();

    auto onDisk = PropertyList::readFile(file());
    ASSERT_TRUE(onDisk);
    EXPECT_EQ(onDisk->find("list")->array()->size(), size_t(threads * writes));
    for (int index = 0; index < threads; ++index) {
        EXPECT_EQ(onDisk->find("key" + std::to_string(index))->integer(), writes);
        auto changes = recorders[index].all();
        ASSERT_EQ(changes.size(), size_t(writes));
        EXPECT_EQ(changes.back().newValue, PropertyList(writes));
    }
    auto failed = defaults->update("list", [](const std::optional<PropertyList>&) -> Result<std::optional<PropertyList>> {
        return FileError::make(FileError::Code::fileWriteUnknown, "refused");
    });
    EXPECT_FALSE(failed);
    EXPECT_EQ(defaults->object("list")->array()->size(), size_t(threads * writes));
}

// A settings file that cannot be read as a dictionary is moved aside with one
// error in the log, and the store starts empty.
TEST_F(UserDefaultsTest, AFileThatIsNotADictionaryIsKeptAside)
{
    const std::string contents[] = {"not a property list", "",
        PropertyList(PropertyList::Array {PropertyList(1)}).binaryRepresentation()};
    for (const auto& content : contents) {
        SCOPED_TRACE(content.substr(0, 20));
        std::filesystem::remove_all(file().parent_path());
        writeFile(file(), content);
        log::LogCapture capture;
        {
            auto defaults = UserDefaults::atPath(file());
            EXPECT_TRUE(defaults->dictionaryRepresentation().empty());
            ASSERT_TRUE(defaults->set("fresh", PropertyList(true)));
            EXPECT_EQ(defaults->object("fresh"), PropertyList(true));
        }
        std::vector<std::string> aside;
        for (const auto& name : namesIn(file().parent_path()))
            if (name.starts_with("app.tavik.Test.plist.corrupt-"))
                aside.push_back(name);
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(readFile(file().parent_path() / aside[0]), content);
        EXPECT_EQ(PropertyList::readFile(file())->dictionary()->size(), 1u);
        EXPECT_EQ(std::ranges::count(capture.entries("User Defaults"), log::Level::error, &log::Entry::level), 1);
    }
}

TEST_F(UserDefaultsTest, AWriterKilledAtRandomMomentsNeverLeavesABrokenFileAndItsTemporaryFilesGo)
{
    auto file = folder / "killed.plist";
    ASSERT_TRUE(UserDefaults::atPath(file)->set("untouched", PropertyList("kept")));

    constexpr size_t payloadBytes = 256 * 1024;
    std::mt19937 random(std::random_device {}());
    std::uniform_int_distribution<int> delayMicroseconds(0, 300000);
    int roundsWithState = 0;
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE(round);
        pid_t writer = startWriter(file, "state", 0, payloadBytes);
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
        ASSERT_EQ(::kill(writer, SIGKILL), 0);
        ASSERT_EQ(waitFor(writer), -SIGKILL);

        auto onDisk = PropertyList::readFile(file);
        ASSERT_TRUE(onDisk) << onDisk.error()->description();
        EXPECT_TRUE(onDisk->find("untouched") && *onDisk->find("untouched") == PropertyList("kept"));
        if (auto state = onDisk->find("state")) {
            EXPECT_TRUE(isWrittenState(state, payloadBytes));
            ++roundsWithState;
        }
    }
    // Kills land before the first write too, but not in every round.
    EXPECT_GT(roundsWithState, 0);

    // A store opened afterwards reads the file and on its first write removes
    // what killed writers left behind (one for certain here), and only that.
    writeFile(folder / ".killed.plist.tmp-abcdef", "half written");
    writeFile(folder / "unrelated.plist", "");
    auto defaults = UserDefaults::atPath(file);
    ASSERT_TRUE(defaults->set("after", PropertyList(1)));
    EXPECT_EQ(defaults->object("untouched"), PropertyList("kept"));
    EXPECT_EQ(namesIn(folder.path()), (std::vector<std::string> {"killed.plist", "killed.plist.lock", "unrelated.plist"}));
}
