#include "service-protocol/DBusMapping.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"
#include "service-protocol/tests/Replies.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/Recorder.hpp"
#include "platform/testing/ScopedEnvironment.hpp"

#include <gtest/gtest.h>

#include <sdbus-c++/sdbus-c++.h>

using namespace tavik;
using namespace tavik::service;
using tavik::service::testing::Replies;
using Reason = ServiceConnectionError::Reason;

namespace {

// A stand-in for duvrin-xpc inside the test: owns the service name on the
// private bus and answers as the test tells it to.
class FakeService {
public:
    using Handler = std::function<void(sdbus::MethodCall&)>;

    FakeService(Handler mount, Handler unmount, std::string unmountOutputSignature = dbus::unmountOutputSignature)
        : connection_(sdbus::createSessionBusConnection())
    {
        object_ = sdbus::createObject(*connection_, dbus::objectPath);
        object_->registerMethod(dbus::interfaceName, dbus::mountMethod, dbus::mountInputSignature, dbus::mountOutputSignature,
            [mount](sdbus::MethodCall call) { mount(call); });
        object_->registerMethod(dbus::interfaceName, dbus::unmountMethod, dbus::unmountInputSignature, unmountOutputSignature,
            [unmount](sdbus::MethodCall call) { unmount(call); });
        object_->finishRegistration();
        connection_->requestName(dbus::serviceName);
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

std::vector<Reason> reasonsOf(const std::vector<ErrorPtr>& errors)
{
    std::vector<Reason> reasons;
    for (const auto& error : errors) {
        auto connectionError = std::dynamic_pointer_cast<const ServiceConnectionError>(error);
        EXPECT_NE(connectionError, nullptr);
        EXPECT_FALSE(error->description().empty());
        reasons.push_back(connectionError ? connectionError->reason() : Reason::interrupted);
    }
    return reasons;
}

std::shared_ptr<DuvrinXPCServiceProtocol> proxy(Replies& replies, DuvrinXPCConnection::Options options = {})
{
    return DuvrinXPCConnection(options).remoteObjectProxyWithErrorHandler(replies.errorHandler());
}

} // namespace

// Mount replies carry a URL, an error, both or neither; a detach without a
// reply block goes as a call that expects no reply.
TEST(DuvrinXPCConnectionTest, CallsCarryThePathsAndRepliesWhatTheServiceSent)
{
    tavik::testing::PrivateSessionBus bus;
    auto error = GenericError::make("DuvrinXPC.MountDMGError", 0, "hdiutil failed with exit code 1.");
    tavik::testing::Recorder<std::string> received;
    FakeService service(
        [&](sdbus::MethodCall& call) {
            std::string dmg, mountPoint;
            call >> dmg >> mountPoint;
            received.add(dmg + " " + mountPoint);
            auto reply = call.createReply();
            auto url = std::optional(URL::fileURL("/tmp/mounted", true));
            reply << dbus::encodeURL(dmg == "/url.dmg" || dmg == "/both.dmg" ? url : std::nullopt)
                  << dbus::encodeError(dmg == "/error.dmg" || dmg == "/both.dmg" ? error : nullptr);
            reply.send();
        },
        [&](sdbus::MethodCall& call) {
            std::string path;
            call >> path;
            received.add(path + (call.doesntExpectReply() ? " (no reply)" : ""));
            if (call.doesntExpectReply()) return;
            auto reply = call.createReply();
            reply << dbus::encodeError(GenericError::make("DuvrinXPC.MountDMGError", 0, "busy"));
            reply.send();
        });

    Replies replies;
    auto client = proxy(replies);
    size_t count = 0;
    for (const std::string name : {"url", "error", "both", "neither"}) {
        client->mountDMG(URL::fileURL("/" + name + ".dmg", false), URL::fileURL("/tmp/mount point é", true), replies.mountResponse());
        ASSERT_TRUE(replies.waitFor(++count));
    }
    client->unmountDMGWithMountPath(URL::fileURL("/tmp/quiet", true), nullptr);
    client->unmountDMGWithMountPath(URL::fileURL("/tmp/answered", true), replies.unmountResponse());
    ASSERT_TRUE(replies.waitFor(5));
    EXPECT_TRUE(replies.handlerErrors().empty());
    std::vector<std::string> described;
    for (const auto& [url, error] : replies.replies())
        described.push_back((url ? url->path().string() : "-") + " " + (error ? error->domain() + " " + std::to_string(error->code()) + " " + error->description() : "-"));
    EXPECT_EQ(described, (std::vector<std::string> {"/tmp/mounted -", "- DuvrinXPC.MountDMGError 0 hdiutil failed with exit code 1.", "/tmp/mounted DuvrinXPC.MountDMGError 0 hdiutil failed with exit code 1.", "- -", "- DuvrinXPC.MountDMGError 0 busy"}));
    // The one-way call may arrive after the answered one.
    auto calls = received.waitFor(6);
    std::sort(calls.begin() + 4, calls.end());
    EXPECT_EQ(calls, (std::vector<std::string> {"/url.dmg /tmp/mount point é", "/error.dmg /tmp/mount point é", "/both.dmg /tmp/mount point é", "/neither.dmg /tmp/mount point é", "/tmp/answered", "/tmp/quiet (no reply)"}));
}

// No bus, no service, a path D-Bus cannot carry, no answer in time, an
// answer of the wrong form: each reaches the error handler, never a reply.
TEST(DuvrinXPCConnectionTest, CallsThatCannotBeMadeOrAnsweredReachTheErrorHandler)
{
    Replies replies;
    {
        tavik::testing::ScopedEnvironment noBus;
        noBus.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tavik-bus");
        proxy(replies)->mountDMG(URL::fileURL("/a.dmg", false), URL::fileURL("/tmp/m", true), replies.mountResponse());
        ASSERT_TRUE(replies.waitFor(1));
    }
    tavik::testing::PrivateSessionBus bus;
    proxy(replies)->unmountDMGWithMountPath(URL::fileURL("/tmp/m", true), replies.unmountResponse());
    ASSERT_TRUE(replies.waitFor(2));
    proxy(replies)->mountDMG(URL::fileURL("/tmp/bad\xff.dmg", false), URL::fileURL("/tmp/m", true), replies.mountResponse());
    ASSERT_TRUE(replies.waitFor(3));

    // Mount calls are never answered; unmount calls get an answer of the wrong form.
    FakeService service([](sdbus::MethodCall&) {},
        [](sdbus::MethodCall& call) {
            auto message = call.createReply();
            message << std::string("not an error list");
            message.send();
        },
        "s");
    DuvrinXPCConnection::Options options;
    options.mountTimeout = std::chrono::milliseconds(300);
    auto impatient = proxy(replies, options);
    impatient->mountDMG(URL::fileURL("/a.dmg", false), URL::fileURL("/tmp/m", true), replies.mountResponse());
    ASSERT_TRUE(replies.waitFor(4));
    impatient->unmountDMGWithMountPath(URL::fileURL("/tmp/m", true), replies.unmountResponse());
    ASSERT_TRUE(replies.waitFor(5));
    EXPECT_TRUE(replies.replies().empty());
    EXPECT_EQ(reasonsOf(replies.handlerErrors()),
        (std::vector<Reason> {Reason::noBus, Reason::notStartable, Reason::invalidRequest, Reason::timedOut, Reason::invalidReply}));
}
