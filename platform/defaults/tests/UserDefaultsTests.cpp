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

struct Recorded {
    std::optional<PropertyList> oldValue;
    std::optional<PropertyList> newValue;
    std::thread::id thread;
};

class ChangeRecorder {
public:
    UserDefaults::Observer observer()
    {
        return [this](const std::optional<PropertyList>& oldValue, const std::optional<PropertyList>& newValue) {
            changes_.add({oldValue, newValue, std::this_thread::get_id()});
        };
    }
    std::vector<Recorded> changes() const { return changes_.all(); }

private:
    tavik::testing::Recorder<Recorded> changes_;
};

// Another process storing {"counter" = i; "payload" = `payloadBytes` bytes of
// i % 256} under the key for i = 1...count (forever when count is 0).
pid_t startWriter(const std::filesystem::path& file, const std::string& key, int count, size_t payloadBytes = 0)
{
    return start({TAVIK_DEFAULTS_WRITER, file.string(), key, std::to_string(count), std::to_string(payloadBytes)});
}

// Whether the value is one such a writer stores, with i >= 1.
::testing::AssertionResult isWrittenState(const PropertyList* value, size_t payloadBytes)
{
    auto counter = value ? value->find("counter") : nullptr;
    auto payload = value ? value->find("payload") : nullptr;
    if (!counter || !counter->integer() || *counter->integer() < 1 || !payload || !payload->data())
        return ::testing::AssertionFailure() << "not a written state: " << (value ? value->description().substr(0, 200) : "none");
    if (payload->data()->size() != payloadBytes)
        return ::testing::AssertionFailure() << "payload of " << payload->data()->size() << " bytes";
    for (uint8_t byte : *payload->data())
        if (byte != uint8_t(*counter->integer() % 256))
            return ::testing::AssertionFailure() << "payload does not match counter " << *counter->integer();
    return ::testing::AssertionSuccess();
}

class UserDefaultsTest : public ::testing::Test {
protected:
    std::filesystem::path file() const { return folder.path() / "settings" / "app.tavik.Test.plist"; }
    ScratchFolder folder {"tavik-defaults"};
};

} // namespace

TEST_F(UserDefaultsTest, WritesEveryKindToAPrivateBinaryPropertyListInTheConfigFolder)
{
    auto defaults = UserDefaults::atPath(file());
    EXPECT_FALSE(defaults->object("missing"));
    ASSERT_TRUE(defaults->set("string", PropertyList("text")));
    ASSERT_TRUE(defaults->set("integer", PropertyList(int64_t(3))));
    ASSERT_TRUE(defaults->set("boolean", PropertyList(true)));
    ASSERT_TRUE(defaults->set("real", PropertyList(1.0)));
    ASSERT_TRUE(defaults->set("list", PropertyList(PropertyList::Array {PropertyList(plist::Data {1, 2})})));
    ASSERT_TRUE(defaults->set("gone", PropertyList("soon")));
    ASSERT_TRUE(defaults->removeObject("gone"));
    ASSERT_TRUE(defaults->removeObject("never there"));

    auto onDisk = PropertyList::readFile(file());
    ASSERT_TRUE(onDisk);
    EXPECT_TRUE(readFile(file()).starts_with("bplist00"));
    EXPECT_EQ(onDisk->find("integer")->kind(), PropertyList::Kind::integer);
    EXPECT_EQ(onDisk->find("boolean")->kind(), PropertyList::Kind::boolean);
    EXPECT_EQ(onDisk->find("real")->kind(), PropertyList::Kind::real);
    EXPECT_EQ(onDisk->find("gone"), nullptr);
    EXPECT_EQ(*onDisk->dictionary(), defaults->dictionaryRepresentation());
    EXPECT_EQ(modeOf(file()), 0600u);
    EXPECT_EQ(modeOf(file().parent_path()), 0700u);

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
    ChangeRecorder recorder;
    auto token = first->observe("key", recorder.observer());
    auto echo = first->observe("key", [&](const auto&, const std::optional<PropertyList>& newValue) {
        if (newValue) {
            ASSERT_TRUE(first->set("echo", *newValue));
        }
    });

    std::thread writer([&] { ASSERT_TRUE(second->set("key", PropertyList("one"))); });
    const auto writerThread = writer.get_id();
    writer.join();
    EXPECT_EQ(first->object("key"), PropertyList("one"));
    EXPECT_EQ(second->object("echo"), PropertyList("one"));
    ASSERT_TRUE(second->set("key", PropertyList("one"))); // unchanged: no call
    ASSERT_TRUE(second->set("other", PropertyList("x"))); // another key: no call
    ASSERT_TRUE(first->removeObject("key"));

    auto changes = recorder.changes();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].oldValue, std::nullopt);
    EXPECT_EQ(changes[0].newValue, PropertyList("one"));
    EXPECT_EQ(changes[0].thread, writerThread);
    EXPECT_EQ(changes[1].oldValue, PropertyList("one"));
    EXPECT_EQ(changes[1].newValue, std::nullopt);

    token.cancel();
    ASSERT_TRUE(second->set("key", PropertyList("two")));
    EXPECT_EQ(recorder.changes().size(), 2u);
}

TEST_F(UserDefaultsTest, URLsHaveTheirOwnFormAndOnlyAbsolutePathsCountAsURLs)
{
    auto defaults = UserDefaults::atPath(file());
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
}

// Another process's writes reach observers through the watcher thread, in
// order (perhaps coalesced), never through a read: a reader may hold locks of
// its own. Our next write of another key keeps what the other process wrote.
TEST_F(UserDefaultsTest, AnotherProcessWritesReachObserversInOrderNeverThroughAReadAndSurviveOurs)
{
    auto defaults = UserDefaults::atPath(file());
    ASSERT_TRUE(defaults->set("mine", PropertyList(1)));
    ChangeRecorder recorder;
    auto token = defaults->observe("theirs", recorder.observer());
    auto writer = startWriter(file(), "theirs", 200);
    int64_t lastRead = 0;
    for (auto deadline = std::chrono::steady_clock::now() + eventuallyTimeout;
         lastRead < 200 && std::chrono::steady_clock::now() < deadline;) {
        if (auto value = defaults->object("theirs"))
            lastRead = *value->find("counter")->integer();
    }
    EXPECT_EQ(waitFor(writer), 0);
    ASSERT_TRUE(eventually([&] {
        auto changes = recorder.changes();
        return !changes.empty() && changes.back().newValue->find("counter")->integer() == 200;
    }));
    auto changes = recorder.changes();
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
    ASSERT_TRUE(onDisk->find("theirs"));
    EXPECT_EQ(onDisk->find("theirs")->find("counter")->integer(), 200);
}

// Threads writing through store objects of their own: a read-change-write of
// one key is one step against every writer, every write of their own keys
// lands, and every change is observed; a change that fails writes nothing.
TEST_F(UserDefaultsTest, WritesAndUpdatesFromManyThreadsLoseNothing)
{
    constexpr int threads = 4, writes = 25;
    std::vector<std::unique_ptr<ChangeRecorder>> recorders;
    std::vector<publisher::AnyCancellable> tokens;
    auto defaults = UserDefaults::atPath(file());
    for (int index = 0; index < threads; ++index) {
        recorders.push_back(std::make_unique<ChangeRecorder>());
        tokens.push_back(defaults->observe("key" + std::to_string(index), recorders.back()->observer()));
    }
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
        auto changes = recorders[size_t(index)]->changes();
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
        size_t errors = 0;
        for (const auto& entry : capture.entries("User Defaults"))
            errors += entry.level == log::Level::error;
        EXPECT_EQ(errors, 1u);
    }
}

TEST_F(UserDefaultsTest, AFailedWriteChangesNothingAndAKilledWritersTemporaryFilesGo)
{
    // The folder cannot be created: a file is in the way (root ignores modes).
    writeFile(folder / "blocker", "");
    auto blocked = UserDefaults::atPath(folder / "blocker/settings.plist");
    auto written = blocked->set("key", PropertyList(1));
    ASSERT_FALSE(written);
    EXPECT_FALSE(written.error()->description().empty());
    EXPECT_FALSE(blocked->object("key"));

    writeFile(file().parent_path() / ".app.tavik.Test.plist.tmp-abcdef", "half written");
    writeFile(file().parent_path() / "unrelated.plist", "");
    ASSERT_TRUE(UserDefaults::atPath(file())->set("key", PropertyList(1)));
    EXPECT_EQ(namesIn(file().parent_path()), (std::vector<std::string> {"app.tavik.Test.plist", "app.tavik.Test.plist.lock", "unrelated.plist"}));
}

// The store file under real processes: writers killed mid-write, and two
// processes writing at the same time.
TEST_F(UserDefaultsTest, AWriterKilledAtRandomMomentsNeverLeavesABrokenFile)
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
        ASSERT_TRUE(onDisk->find("untouched"));
        EXPECT_EQ(*onDisk->find("untouched")->string(), "kept");
        if (auto state = onDisk->find("state")) {
            EXPECT_TRUE(isWrittenState(state, payloadBytes));
            ++roundsWithState;
        }
    }
    // Kills land before the first write too, but not in every round.
    EXPECT_GT(roundsWithState, 0);

    // A store opened afterwards reads the file and removes what killed
    // writers left behind on its first write.
    auto defaults = UserDefaults::atPath(file);
    ASSERT_TRUE(defaults->set("after", PropertyList(1)));
    EXPECT_EQ(defaults->object("untouched"), PropertyList("kept"));
    for (const auto& name : namesIn(folder.path()))
        EXPECT_FALSE(name.starts_with(".killed.plist.tmp-")) << name;
}

TEST_F(UserDefaultsTest, TwoProcessesWritingDifferentKeysBothLand)
{
    auto file = folder / "shared.plist";
    constexpr int writes = 150;
    pid_t first = startWriter(file, "first", writes, 64);
    pid_t second = startWriter(file, "second", writes, 64);
    EXPECT_EQ(waitFor(first), 0);
    EXPECT_EQ(waitFor(second), 0);

    auto onDisk = PropertyList::readFile(file);
    ASSERT_TRUE(onDisk);
    for (const char* key : {"first", "second"}) {
        ASSERT_TRUE(isWrittenState(onDisk->find(key), 64)) << key;
        EXPECT_EQ(onDisk->find(key)->find("counter")->integer(), writes) << key;
    }
}
