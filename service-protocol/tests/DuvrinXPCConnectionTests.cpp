#include "service-protocol/DBusMapping.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/ScopedEnvironment.hpp"

#include <gtest/gtest.h>

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

using namespace tavik;
using namespace tavik::service;
using Reason = ServiceConnectionError::Reason;

namespace {

// Answers and errors that arrive on background threads.
struct Outcomes {
    struct Mount {
        std::string tag;
        std::optional<URL> url;
        ErrorPtr error;
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Mount> mounts;
    std::vector<ErrorPtr> unmounts;
    std::vector<ErrorPtr> handlerErrors;

    MountDMGResponse mountResponse(std::string tag)
    {
        return [this, tag](std::optional<URL> url, ErrorPtr error) {
            std::lock_guard lock(mutex);
            mounts.push_back({tag, std::move(url), std::move(error)});
            changed.notify_all();
        };
    }
    UnmountDMGResponse unmountResponse()
    {
        return [this](ErrorPtr error) {
            std::lock_guard lock(mutex);
            unmounts.push_back(std::move(error));
            changed.notify_all();
        };
    }
    ServiceErrorHandler errorHandler()
    {
        return [this](ErrorPtr error) {
            std::lock_guard lock(mutex);
            handlerErrors.push_back(std::move(error));
            changed.notify_all();
        };
    }
    bool waitFor(size_t count)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30),
            [&] { return mounts.size() + unmounts.size() + handlerErrors.size() >= count; });
    }
};

// A stand-in for duvrin-xpc inside the test: owns the service name on the
// private bus and answers as the test tells it to.
class FakeService {
public:
    using Handler = std::function<void(sdbus::MethodCall&)>;

    FakeService(Handler mount, Handler unmount, std::string unmountOutputSignature = service::dbus::unmountOutputSignature)
        : connection_(sdbus::createSessionBusConnection())
    {
        object_ = sdbus::createObject(*connection_, service::dbus::objectPath);
        object_->registerMethod(service::dbus::interfaceName, service::dbus::mountMethod,
            service::dbus::mountInputSignature, service::dbus::mountOutputSignature,
            [mount](sdbus::MethodCall call) { mount(call); });
        object_->registerMethod(service::dbus::interfaceName, service::dbus::unmountMethod,
            service::dbus::unmountInputSignature, unmountOutputSignature,
            [unmount](sdbus::MethodCall call) { unmount(call); });
        object_->finishRegistration();
        connection_->requestName(service::dbus::serviceName);
        connection_->enterEventLoopAsync();
    }
    ~FakeService()
    {
        connection_->leaveEventLoop();
        object_.reset();
    }

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IObject> object_;
};

void reply(sdbus::MethodCall& call, const std::optional<URL>& url, const ErrorPtr& error)
{
    auto message = call.createReply();
    message << service::dbus::encodeURL(url) << service::dbus::encodeError(error);
    message.send();
}

Reason reasonOf(const ErrorPtr& error)
{
    auto connectionError = std::dynamic_pointer_cast<const ServiceConnectionError>(error);
    EXPECT_NE(connectionError, nullptr);
    return connectionError ? connectionError->reason() : Reason::interrupted;
}

TEST(DuvrinXPCConnectionTest, RepliesCarryAURLAnErrorBothOrNeither)
{
    tavik::testing::PrivateSessionBus bus;
    auto error = GenericError::make("DuvrinXPC.MountDMGError", 0, "hdiutil failed with exit code 1.");
    std::atomic<int> sawPaths {0};
    FakeService service(
        [&](sdbus::MethodCall& call) {
            std::string dmg, mountPoint;
            call >> dmg >> mountPoint;
            if (mountPoint == "/tmp/mount point é")
                ++sawPaths;
            auto url = URL::fileURL("/tmp/mounted", true);
            if (dmg == "/url.dmg")
                reply(call, url, nullptr);
            else if (dmg == "/error.dmg")
                reply(call, std::nullopt, error);
            else if (dmg == "/both.dmg")
                reply(call, url, error);
            else
                reply(call, std::nullopt, nullptr);
        },
        [](sdbus::MethodCall&) {});

    Outcomes outcomes;
    auto proxy = DuvrinXPCConnection().remoteObjectProxyWithErrorHandler(outcomes.errorHandler());
    for (const std::string tag : {"url", "error", "both", "neither"})
        proxy->mountDMG(URL::fileURL("/" + tag + ".dmg", false), URL::fileURL("/tmp/mount point é", true),
            outcomes.mountResponse(tag));
    ASSERT_TRUE(outcomes.waitFor(4));
    EXPECT_TRUE(outcomes.handlerErrors.empty());
    EXPECT_EQ(sawPaths, 4);
    std::map<std::string, Outcomes::Mount> byTag;
    for (auto& mount : outcomes.mounts)
        byTag[mount.tag] = mount;
    EXPECT_EQ(byTag["url"].url->path(), "/tmp/mounted");
    EXPECT_EQ(byTag["url"].error, nullptr);
    EXPECT_FALSE(byTag["error"].url);
    ASSERT_NE(byTag["error"].error, nullptr);
    EXPECT_EQ(byTag["error"].error->domain(), "DuvrinXPC.MountDMGError");
    EXPECT_EQ(byTag["error"].error->code(), 0);
    EXPECT_EQ(byTag["error"].error->description(), "hdiutil failed with exit code 1.");
    EXPECT_TRUE(byTag["both"].url && byTag["both"].error);
    EXPECT_FALSE(byTag["neither"].url || byTag["neither"].error);
}

TEST(DuvrinXPCConnectionTest, UnmountWithoutAReplyBlockIsSentAsACallExpectingNoReply)
{
    tavik::testing::PrivateSessionBus bus;
    std::mutex mutex;
    std::condition_variable seen;
    std::vector<std::pair<std::string, bool>> calls; // path, expects a reply
    FakeService service([](sdbus::MethodCall&) {},
        [&](sdbus::MethodCall& call) {
            std::string path;
            call >> path;
            {
                std::lock_guard lock(mutex);
                calls.emplace_back(path, !call.doesntExpectReply());
                seen.notify_all();
            }
            if (!call.doesntExpectReply()) {
                auto message = call.createReply();
                message << service::dbus::encodeError(GenericError::make("DuvrinXPC.MountDMGError", 0, "busy"));
                message.send();
            }
        });

    Outcomes outcomes;
    auto proxy = DuvrinXPCConnection().remoteObjectProxyWithErrorHandler(outcomes.errorHandler());
    proxy->unmountDMGWithMountPath(URL::fileURL("/tmp/quiet", true), nullptr);
    proxy->unmountDMGWithMountPath(URL::fileURL("/tmp/answered", true), outcomes.unmountResponse());
    ASSERT_TRUE(outcomes.waitFor(1));
    {
        std::lock_guard lock(outcomes.mutex);
        for (const auto& error : outcomes.handlerErrors)
            ADD_FAILURE() << error->description();
    }
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(seen.wait_for(lock, std::chrono::seconds(30), [&] { return calls.size() == 2; }));
        std::map<std::string, bool> expectsReply(calls.begin(), calls.end());
        EXPECT_FALSE(expectsReply.at("/tmp/quiet"));
        EXPECT_TRUE(expectsReply.at("/tmp/answered"));
    }
    std::lock_guard lock(outcomes.mutex);
    ASSERT_EQ(outcomes.unmounts.size(), 1u);
    EXPECT_EQ(outcomes.unmounts[0]->description(), "busy");
    EXPECT_TRUE(outcomes.handlerErrors.empty());
}

TEST(DuvrinXPCConnectionTest, CallsThatCannotBeMadeOrAnsweredReachTheErrorHandler)
{
    Outcomes outcomes;
    {
        // No bus at all.
        tavik::testing::ScopedEnvironment noBus;
        noBus.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tavik-bus");
        auto proxy = DuvrinXPCConnection().remoteObjectProxyWithErrorHandler(outcomes.errorHandler());
        proxy->mountDMG(URL::fileURL("/a.dmg", false), URL::fileURL("/tmp/m", true), outcomes.mountResponse("a"));
        ASSERT_TRUE(outcomes.waitFor(1));
    }
    tavik::testing::PrivateSessionBus bus;
    {
        // Nobody owns the name and the bus knows no way to start it.
        auto proxy = DuvrinXPCConnection().remoteObjectProxyWithErrorHandler(outcomes.errorHandler());
        proxy->unmountDMGWithMountPath(URL::fileURL("/tmp/m", true), outcomes.unmountResponse());
        ASSERT_TRUE(outcomes.waitFor(2));
    }
    {
        // Paths that D-Bus cannot carry are refused before anything is sent.
        auto proxy = DuvrinXPCConnection().remoteObjectProxyWithErrorHandler(outcomes.errorHandler());
        proxy->mountDMG(URL::fileURL("/tmp/bad\xff.dmg", false), URL::fileURL("/tmp/m", true), outcomes.mountResponse("b"));
        ASSERT_TRUE(outcomes.waitFor(3));
    }
    std::lock_guard lock(outcomes.mutex);
    EXPECT_TRUE(outcomes.mounts.empty());
    EXPECT_TRUE(outcomes.unmounts.empty());
    ASSERT_EQ(outcomes.handlerErrors.size(), 3u);
    EXPECT_EQ(reasonOf(outcomes.handlerErrors[0]), Reason::noBus);
    EXPECT_EQ(reasonOf(outcomes.handlerErrors[1]), Reason::notStartable);
    EXPECT_EQ(reasonOf(outcomes.handlerErrors[2]), Reason::invalidRequest);
    for (const auto& error : outcomes.handlerErrors)
        EXPECT_FALSE(error->description().empty());
}

TEST(DuvrinXPCConnectionTest, SilentOrMalformedAnswersReachTheErrorHandler)
{
    tavik::testing::PrivateSessionBus bus;
    // Mount calls are never answered; unmount calls get an answer of the wrong form.
    FakeService service([](sdbus::MethodCall&) {},
        [](sdbus::MethodCall& call) {
            auto message = call.createReply();
            message << std::string("not an error list");
            message.send();
        },
        "s");

    Outcomes outcomes;
    DuvrinXPCConnection::Options options;
    options.mountTimeout = std::chrono::milliseconds(300);
    auto proxy = DuvrinXPCConnection(options).remoteObjectProxyWithErrorHandler(outcomes.errorHandler());
    proxy->mountDMG(URL::fileURL("/a.dmg", false), URL::fileURL("/tmp/m", true), outcomes.mountResponse("a"));
    ASSERT_TRUE(outcomes.waitFor(1));
    proxy->unmountDMGWithMountPath(URL::fileURL("/tmp/m", true), outcomes.unmountResponse());
    ASSERT_TRUE(outcomes.waitFor(2));
    std::lock_guard lock(outcomes.mutex);
    EXPECT_TRUE(outcomes.mounts.empty());
    EXPECT_TRUE(outcomes.unmounts.empty());
    ASSERT_EQ(outcomes.handlerErrors.size(), 2u);
    EXPECT_EQ(reasonOf(outcomes.handlerErrors[0]), Reason::timedOut);
    EXPECT_EQ(reasonOf(outcomes.handlerErrors[1]), Reason::invalidReply) << outcomes.handlerErrors[1]->description();
}

} // namespace
