#include "service-protocol/DBusMapping.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"
#include "service-protocol/tests/Replies.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <sdbus-c++/sdbus-c++.h>

using namespace tavik;
using namespace tavik::service;
using tavik::service::testing::Replies;
using Reason = ServiceConnectionError::Reason;

namespace {

// A stand-in for duvrin-xpc inside the test: owns the service name on the
// private bus, never answers a mount call and answers each unmount call
// with a string where the error list belongs.
class UnfitService {
public:
    UnfitService()
        : connection_(sdbus::createSessionBusConnection())
    {
        object_ = sdbus::createObject(*connection_, dbus::objectPath);
        object_->registerMethod(dbus::interfaceName, dbus::mountMethod, dbus::mountInputSignature, dbus::mountOutputSignature, [](sdbus::MethodCall) {});
        object_->registerMethod(dbus::interfaceName, dbus::unmountMethod, dbus::unmountInputSignature, "s", [](sdbus::MethodCall call) {
            auto message = call.createReply();
            message << std::string("not an error list");
            message.send();
        });
        object_->finishRegistration();
        connection_->requestName(dbus::serviceName);
        connection_->enterEventLoopAsync();
    }
    ~UnfitService()
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

// No bus, no service, a path D-Bus cannot carry, a service the bus cannot
// start, no answer in time, an answer of the wrong form: each reaches the
// error handler, never a reply.
TEST(DuvrinXPCConnectionTest, CallsThatCannotBeMadeOrAnsweredReachTheErrorHandler)
{
    Replies replies;
    tavik::testing::ScratchFolder services("tavik-services");
    {
        tavik::testing::ScopedEnvironment noBus;
        noBus.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tavik-bus");
        proxy(replies)->mountDMG(URL::fileURL("/a.dmg", false), URL::fileURL("/tmp/m", true), replies.mountResponse());
        ASSERT_TRUE(replies.waitFor(1));
    }
    auto bus = std::make_unique<tavik::testing::PrivateSessionBus>();
    proxy(replies)->unmountDMGWithMountPath(URL::fileURL("/tmp/m", true), replies.unmountResponse());
    ASSERT_TRUE(replies.waitFor(2));
    proxy(replies)->mountDMG(URL::fileURL("/tmp/bad\xff.dmg", false), URL::fileURL("/tmp/m", true), replies.mountResponse());
    ASSERT_TRUE(replies.waitFor(3));
    services.write("app.tavik.DuvrinXPC.service", "[D-BUS Service]\nName=app.tavik.DuvrinXPC\nExec=" + (services / "missing/duvrin-xpc").string() + "\n");
    bus.reset();
    bus = std::make_unique<tavik::testing::PrivateSessionBus>(tavik::testing::PrivateSessionBus::Options {{services.path()}, {}});
    proxy(replies)->mountDMG(URL::fileURL("/a.dmg", false), URL::fileURL("/tmp/m", true), replies.mountResponse());
    ASSERT_TRUE(replies.waitFor(4));

    UnfitService service;
    DuvrinXPCConnection::Options options;
    options.mountTimeout = std::chrono::milliseconds(300);
    auto impatient = proxy(replies, options);
    impatient->mountDMG(URL::fileURL("/a.dmg", false), URL::fileURL("/tmp/m", true), replies.mountResponse());
    ASSERT_TRUE(replies.waitFor(5));
    impatient->unmountDMGWithMountPath(URL::fileURL("/tmp/m", true), replies.unmountResponse());
    ASSERT_TRUE(replies.waitFor(6));
    EXPECT_TRUE(replies.replies().empty());
    EXPECT_EQ(reasonsOf(replies.handlerErrors()),
        (std::vector<Reason> {Reason::noBus, Reason::notStartable, Reason::invalidRequest, Reason::notStartable, Reason::timedOut, Reason::invalidReply}));
}
