#include "platform/defaults/UserDefaults.hpp"
#include "platform/defaults/tests/TestSupport.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/log/LogCapture.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

using namespace tavik;
using namespace tavik::defaults;
using namespace tavik::defaults::testing;
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

class Recorder {
public:
    UserDefaults::Observer observer()
    {
        return [this](const std::optional<PropertyList>& oldValue, const std::optional<PropertyList>& newValue) {
            std::lock_guard lock(mutex_);
            changes_.push_back({oldValue, newValue, std::this_thread::get_id()});
        };
    }
    std::vector<Recorded> changes() const
    {
        std::lock_guard lock(mutex_);
        return changes_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Recorded> changes_;
};

std::string readBytes(const std::filesystem::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
}

} // namespace

class UserDefaultsTest : public ::testing::Test {
protected:
    std::filesystem::path file() const { return folder.path() / "settings" / "app.tavik.Test.plist"; }
    TemporaryFolder folder;
};

TEST_F(UserDefaultsTest, WritesEveryKindToAPrivateBinaryPropertyList)
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
    EXPECT_TRUE(readBytes(file()).starts_with("bplist00"));
    EXPECT_EQ(onDisk->find("integer")->kind(), PropertyList::Kind::integer);
    EXPECT_EQ(onDisk->find("boolean")->kind(), PropertyList::Kind::boolean);
    EXPECT_EQ(onDisk->find("real")->kind(), PropertyList::Kind::real);
    EXPECT_EQ(onDisk->find("gone"), nullptr);
    EXPECT_EQ(*onDisk->dictionary(), defaults->dictionaryRepresentation());

    struct stat status {};
    ASSERT_EQ(::stat(file().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(file().parent_path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST_F(UserDefaultsTest, SuitesLiveInTheConfigFolder)
{
    ::setenv("XDG_CONFIG_HOME", folder.path().c_str(), 1);
    EXPECT_EQ(UserDefaults::configFolder(), folder.path() / "tavik");
    auto standard = UserDefaults::standard();
    EXPECT_EQ(standard->filePath(), folder.path() / "tavik" / "app.tavik.Tavik.plist");
    ASSERT_TRUE(UserDefaults::suite("other")->set("a", PropertyList(1)));
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "tavik" / "other.plist"));
    ::unsetenv("XDG_CONFIG_HOME");
}

// Observers hear changes of their key from any store object of the file,
// on the writing thread, and may write from inside the call.
TEST_F(UserDefaultsTest, StoresOfOneFileShareStateAndObservers)
{
    auto first = UserDefaults::atPath(file());
    auto second = UserDefaults::atPath(folder.path() / "settings" / "." / "app.tavik.Test.plist");
    Recorder recorder;
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

TEST_F(UserDefaultsTest, URLsHaveTheirOwnForm)
{
    auto defaults = UserDefaults::atPath(file());
    auto url = URL::fileURL("/srv/Applications", true);
    ASSERT_TRUE(defaults->setURL("url", url));
    EXPECT_EQ(defaults->url("url"), url);
    EXPECT_TRUE(defaults->object("url")->data());

    ASSERT_TRUE(defaults->set("path", PropertyList("/srv/file")));
    EXPECT_EQ(defaults->url("path"), URL::fileURL("/srv/file", false));
    ASSERT_TRUE(defaults->set("relative", PropertyList("srv/file")));
    EXPECT_EQ(defaults->url("relative"), std::nullopt);
    // Data that is some other property list (a bookmark, say) is not a URL.
    std::string other = PropertyList(PropertyList::Dictionary {{"path", PropertyList("/x")}}).binaryRepresentation();
    ASSERT_TRUE(defaults->set("bookmark", PropertyList(plist::Data(other.begin(), other.end()))));
    EXPECT_EQ(defaults->url("bookmark"), std::nullopt);
    EXPECT_EQ(defaults->url("missing"), std::nullopt);
}

// Another process's write reaches observers through the watcher thread, and
// our next write of another key keeps it.
TEST_F(UserDefaultsTest, AnotherProcessWriteReachesObserversAndSurvivesOurs)
{
    auto defaults = UserDefaults::atPath(file());
    ASSERT_TRUE(defaults->set("mine", PropertyList(1)));
    Recorder recorder;
    auto token = defaults->observe("theirs", recorder.observer());
    EXPECT_EQ(waitFor(startWriter({file().string(), "theirs", "1"})), 0);
    ASSERT_TRUE(eventually([&] { return !recorder.changes().empty(); }));
    auto change = recorder.changes().back();
    EXPECT_FALSE(change.oldValue);
    ASSERT_TRUE(change.newValue);
    EXPECT_EQ(change.newValue->find("counter")->integer(), 1);
    EXPECT_NE(change.thread, std::this_thread::get_id());

    ASSERT_TRUE(defaults->set("mine", PropertyList(2)));
    auto onDisk = PropertyList::readFile(file());
    ASSERT_TRUE(onDisk);
    EXPECT_EQ(onDisk->find("mine")->integer(), 2);
    ASSERT_TRUE(onDisk->find("theirs"));
    EXPECT_EQ(onDisk->find("theirs")->find("counter")->integer(), 1);
}

// A reader may hold locks of its own, so a read that notices another
// process's change first leaves the observer calls to the watcher thread;
// values may be coalesced but are never seen out of order.
TEST_F(UserDefaultsTest, AReadNeverCallsObservers)
{
    auto defaults = UserDefaults::atPath(file());
    ASSERT_TRUE(defaults->set("mine", PropertyList(1)));
    Recorder recorder;
    auto token = defaults->observe("theirs", recorder.observer());
    auto testThread = std::this_thread::get_id();
    auto writer = startWriter({file().string(), "theirs", "200"});
    int64_t lastRead = 0;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         lastRead < 200 && std::chrono::steady_clock::now() < deadline;) {
        if (auto value = defaults->object("theirs"))
            lastRead = *value->find("counter")->integer();
    }
    EXPECT_EQ(waitFor(writer), 0);
    ASSERT_TRUE(eventually([&] {
        auto changes = recorder.changes();
        return !changes.empty() && changes.back().newValue->find("counter")->integer() == 200;
    }));
    int64_t previous = 0;
    for (const auto& change : recorder.changes()) {
        EXPECT_NE(change.thread, testThread);
        auto counter = *change.newValue->find("counter")->integer();
        EXPECT_GT(counter, previous) << "never an older value after a newer one";
        previous = counter;
    }
}

// A read-change-write of one key is one step against every writer.
TEST_F(UserDefaultsTest, UpdatesFromManyThreadsLoseNothing)
{
    auto defaults = UserDefaults::atPath(file());
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 4; ++thread)
        threads.emplace_back([&] {
            for (int count = 0; count < 50; ++count) {
                auto added = defaults->update("list", [](const std::optional<PropertyList>& stored) {
                    PropertyList::Array array;
                    if (stored && stored->array())
                        array = *stored->array();
                    array.emplace_back(int64_t(array.size()));
                    return Result<std::optional<PropertyList>>(std::optional<PropertyList>(PropertyList(array)));
                });
                ASSERT_TRUE(added);
            }
        });
    for (auto& thread : threads)
        thread.join();
    auto list = defaults->object("list");
    ASSERT_TRUE(list && list->array());
    EXPECT_EQ(list->array()->size(), 200u);

    // A change that fails writes nothing.
    auto failed = defaults->update("list", [](const std::optional<PropertyList>&) -> Result<std::optional<PropertyList>> {
        return FileError::make(FileError::Code::fileWriteUnknown, "refused");
    });
    EXPECT_FALSE(failed);
    EXPECT_EQ(defaults->object("list")->array()->size(), 200u);
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
        std::filesystem::create_directories(file().parent_path());
        std::ofstream(file(), std::ios::binary) << content;
        log::LogCapture capture;
        {
            auto defaults = UserDefaults::atPath(file());
            EXPECT_TRUE(defaults->dictionaryRepresentation().empty());
            EXPECT_FALSE(defaults->object("anything"));
            ASSERT_TRUE(defaults->set("fresh", PropertyList(true)));
            EXPECT_EQ(defaults->object("fresh"), PropertyList(true));
        }

        std::vector<std::filesystem::path> aside;
        for (const auto& entry : std::filesystem::directory_iterator(file().parent_path()))
            if (entry.path().filename().string().starts_with("app.tavik.Test.plist.corrupt-"))
                aside.push_back(entry.path());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(readBytes(aside[0]), content);
        auto onDisk = PropertyList::readFile(file());
        ASSERT_TRUE(onDisk);
        EXPECT_EQ(onDisk->dictionary()->size(), 1u);

        size_t errors = 0;
        for (const auto& entry : capture.entries("User Defaults"))
            errors += entry.level == log::Level::error;
        EXPECT_EQ(errors, 1u);
    }
}

TEST_F(UserDefaultsTest, AFailedWriteIsReportedAndChangesNothing)
{
    // The folder cannot be created: a file is in the way (root ignores modes).
    {
        std::ofstream blocker(folder.path() / "blocker");
    }
    auto defaults = UserDefaults::atPath(folder.path() / "blocker" / "settings.plist");
    auto written = defaults->set("key", PropertyList(1));
    ASSERT_FALSE(written);
    EXPECT_FALSE(written.error()->description().empty());
    EXPECT_FALSE(defaults->object("key"));
}

TEST_F(UserDefaultsTest, TemporaryFilesOfAKilledWriterAreRemoved)
{
    std::filesystem::create_directories(file().parent_path());
    auto leftover = file().parent_path() / ".app.tavik.Test.plist.tmp-abcdef";
    {
        std::ofstream stream(leftover);
        stream << "half written";
    }
    auto unrelated = file().parent_path() / "unrelated.plist";
    {
        std::ofstream stream(unrelated);
    }
    ASSERT_TRUE(UserDefaults::atPath(file())->set("key", PropertyList(1)));
    EXPECT_FALSE(std::filesystem::exists(leftover));
    EXPECT_TRUE(std::filesystem::exists(unrelated));
}

// Threads writing different keys through different store objects, with an
// observer on each key: every write lands and every change is observed.
TEST_F(UserDefaultsTest, ConcurrentWritersInOneProcess)
{
    constexpr int threads = 4;
    constexpr int writes = 25;
    std::vector<std::unique_ptr<Recorder>> recorders;
    std::vector<publisher::AnyCancellable> tokens;
    auto observed = UserDefaults::atPath(file());
    for (int index = 0; index < threads; ++index) {
        recorders.push_back(std::make_unique<Recorder>());
        tokens.push_back(observed->observe("key" + std::to_string(index), recorders.back()->observer()));
    }
    std::vector<std::thread> workers;
    for (int index = 0; index < threads; ++index)
        workers.emplace_back([this, index] {
            auto defaults = UserDefaults::atPath(file());
            for (int value = 1; value <= writes; ++value) {
                ASSERT_TRUE(defaults->set("key" + std::to_string(index), PropertyList(value)));
                (void)defaults->object("key" + std::to_string((index + 1) % threads));
            }
        });
    for (auto& worker : workers)
        worker.join();
    auto onDisk = PropertyList::readFile(file());
    ASSERT_TRUE(onDisk);
    for (int index = 0; index < threads; ++index) {
        EXPECT_EQ(onDisk->find("key" + std::to_string(index))->integer(), writes);
        auto changes = recorders[size_t(index)]->changes();
        ASSERT_EQ(changes.size(), size_t(writes));
        EXPECT_EQ(changes.back().newValue, PropertyList(writes));
    }
}
