#include "platform/testing/TestNotificationServer.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tavik::testing {

namespace {
constexpr const char* interfaceName = "org.freedesktop.Notifications";
}

struct TestNotificationServer::Impl {
    struct Failure {
        std::string errorName;
        std::string message;
    };

    Options options;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<Posted> posted;
    std::vector<uint32_t> closedByCall;
    std::map<std::string, Failure> failures;
    uint32_t nextId = 1;
    bool holding = false;
    bool leaving = false;
    size_t held = 0;

    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IObject> object;
    std::thread loop;

    // A post is recorded only once its id is on the way back: a test that acts
    // on what it sees then never overtakes the reply.
    void notify(sdbus::Result<uint32_t>&& result, const std::string& applicationName, uint32_t replacesId, const std::string& summary,
        const std::string& body, const std::vector<std::string>& actions, const std::map<std::string, sdbus::Variant>& hints,
        int32_t expireTimeout)
    {
        std::unique_lock lock(mutex);
        if (holding) {
            ++held;
            changed.notify_all();
            changed.wait(lock, [&] { return !holding; });
        }
        if (auto failure = failures.find(summary); failure != failures.end())
            return result.returnError(sdbus::Error(failure->second.errorName, failure->second.message));
        Posted entry {nextId++, applicationName, replacesId, summary, body, actions, {}, expireTimeout};
        for (const auto& [name, value] : hints)
            if (value.peekValueType() == "s")
                entry.stringHints[name] = value.get<std::string>();
        if (leaving) {
            leaving = false;
            connection->releaseName("org.freedesktop.Notifications");
        }
        result.returnResults(entry.id);
        posted.push_back(entry);
        changed.notify_all();
    }

    void close(uint32_t id)
    {
        bool known;
        {
            std::lock_guard lock(mutex);
            known = std::any_of(posted.begin(), posted.end(), [&](const Posted& p) { return p.id == id; });
            closedByCall.push_back(id);
            changed.notify_all();
        }
        if (known)
            object->emitSignal("NotificationClosed").onInterface(interfaceName).withArguments(id, uint32_t {3});
    }
};

TestNotificationServer::TestNotificationServer()
    : TestNotificationServer(Options {})
{
}

TestNotificationServer::TestNotificationServer(Options options)
    : impl_(std::make_unique<Impl>())
{
    impl_->options = std::move(options);
    impl_->connection = sdbus::createSessionBusConnection("org.freedesktop.Notifications");
    impl_->object = sdbus::createObject(*impl_->connection, "/org/freedesktop/Notifications");
    auto* impl = impl_.get();
    impl->object->registerMethod("Notify").onInterface(interfaceName).implementedAs([impl](sdbus::Result<uint32_t>&& result, const std::string& applicationName, uint32_t replacesId, const std::string&, const std::string& summary, const std::string& body, const std::vector<std::string>& actions, const std::map<std::string, sdbus::Variant>& hints, int32_t expireTimeout) {
        impl->notify(std::move(result), applicationName, replacesId, summary, body, actions, hints, expireTimeout);
    });
    impl->object->registerMethod("GetCapabilities").onInterface(interfaceName).implementedAs([impl]() {
        return impl->options.capabilities;
    });
    impl->object->registerMethod("CloseNotification").onInterface(interfaceName).implementedAs([impl](uint32_t id) {
        impl->close(id);
    });
    impl->object->registerSignal("ActionInvoked").onInterface(interfaceName).withParameters<uint32_t, std::string>();
    impl->object->registerSignal("NotificationClosed").onInterface(interfaceName).withParameters<uint32_t, uint32_t>();
    impl->object->finishRegistration();
    // Tests kill the bus under the server too: that ends serving only.
    impl->loop = std::thread([impl] {
        try {
            impl->connection->enterEventLoop();
        } catch (const sdbus::Error&) {
        }
    });
}

TestNotificationServer::~TestNotificationServer()
{
    releasePosts();
    impl_->connection->leaveEventLoop();
    impl_->loop.join();
    impl_->object.reset();
}

std::vector<TestNotificationServer::Posted> TestNotificationServer::posted() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->posted;
}

std::vector<TestNotificationServer::Posted> TestNotificationServer::waitForPosted(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait_for(lock, timeout, [&] { return impl_->posted.size() >= count; });
    return impl_->posted;
}

std::optional<TestNotificationServer::Posted> TestNotificationServer::postedWithSummary(const std::string& summary) const
{
    std::lock_guard lock(impl_->mutex);
    for (const auto& entry : impl_->posted)
        if (entry.summary == summary)
            return entry;
    return std::nullopt;
}

std::vector<uint32_t> TestNotificationServer::closedByCall() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->closedByCall;
}

bool TestNotificationServer::waitForClosedByCall(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->closedByCall.size() >= count; });
}

void TestNotificationServer::failPostsWithSummary(const std::string& summary, std::string errorName, std::string message)
{
    std::lock_guard lock(impl_->mutex);
    impl_->failures[summary] = Impl::Failure {std::move(errorName), std::move(message)};
}

void TestNotificationServer::leaveBeforeAnswering()
{
    std::lock_guard lock(impl_->mutex);
    impl_->leaving = true;
}

void TestNotificationServer::holdPosts()
{
    std::lock_guard lock(impl_->mutex);
    impl_->holding = true;
}

bool TestNotificationServer::waitForHeldPosts(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->held >= count; });
}

void TestNotificationServer::releasePosts()
{
    std::lock_guard lock(impl_->mutex);
    impl_->holding = false;
    impl_->changed.notify_all();
}

void TestNotificationServer::invokeAction(uint32_t id, const std::string& key)
{
    impl_->object->emitSignal("ActionInvoked").onInterface(interfaceName).withArguments(id, key);
}

void TestNotificationServer::closeNotification(uint32_t id, uint32_t reason)
{
    impl_->object->emitSignal("NotificationClosed").onInterface(interfaceName).withArguments(id, reason);
}

} // namespace tavik::testing
