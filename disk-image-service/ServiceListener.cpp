#include "disk-image-service/ServiceListener.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/strings/UTF8.hpp"
#include "service-protocol/DBusMapping.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace tavik::service {

namespace {

constexpr const char* subsystem = "app.tavik.DuvrinXPC";
constexpr const char* category = "XPC Service";

// Ends a call's bookkeeping however the call ends.
class CallScope {
public:
    explicit CallScope(IdleMonitor& monitor)
        : monitor_(monitor)
    {
    }
    ~CallScope() { monitor_.callEnded(); }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    IdleMonitor& monitor_;
};

// Sends the reply to a call at most once, and only when the caller asked for one.
class Replier {
public:
    explicit Replier(sdbus::MethodCall call)
        : call_(std::move(call))
    {
    }

    template <class... Values>
    void send(const Values&... values)
    {
        if (replied_.exchange(true) || call_.doesntExpectReply())
            return;
        try {
            auto reply = call_.createReply();
            (reply << ... << values);
            reply.send();
        } catch (const sdbus::Error& error) {
            // The caller may have left already; nobody is waiting then.
            std::fprintf(stderr, "duvrin-xpc: could not send a reply: %s\n", error.what());
        }
    }

private:
    sdbus::MethodCall call_;
    std::atomic<bool> replied_ {false};
};

} // namespace

ServiceDelegate::ServiceDelegate(DuvrinXPCService::Options options)
    : options_(std::move(options))
{
}

std::shared_ptr<DuvrinXPCService> ServiceDelegate::serviceFor(const std::string& peer)
{
    std::lock_guard lock(mutex_);
    auto& service = services_[peer];
    if (!service)
        service = std::make_shared<DuvrinXPCService>(log::Logger(subsystem, category), options_);
    return service;
}

void ServiceDelegate::peerLeft(const std::string& peer)
{
    std::lock_guard lock(mutex_);
    services_.erase(peer);
}

size_t ServiceDelegate::peerCount() const
{
    std::lock_guard lock(mutex_);
    return services_.size();
}

ServiceListener::ServiceListener(Options options)
    : options_(std::move(options))
    , delegate_(options_.service)
{
    if (options_.busName.empty())
        options_.busName = dbus::serviceName;
}

ServiceListener::~ServiceListener() = default;

void ServiceListener::mountDMG(sdbus::MethodCall call)
{
    std::string dmgPath, mountPath;
    call >> dmgPath >> mountPath;
    auto service = delegate_.serviceFor(call.getSender());
    monitor_.callStarted();
    dispatch::DispatchQueue::global()->async([this, service, dmgPath, mountPath, call]() mutable {
        CallScope scope(monitor_);
        // Everything that refers to the connection goes before the call counts as ended.
        auto replier = std::make_shared<Replier>(std::move(call));
        service->mountDMG(URL::fileURL(dmgPath), URL::fileURL(mountPath, true),
            [replier](std::optional<URL> url, ErrorPtr error) {
                if (url && !isValidUTF8(url->path().string())) {
                    error = GenericError::make(
                        "app.tavik.DuvrinXPC", 1, "The disk image was mounted at a path that is not valid UTF-8.");
                    url.reset();
                }
                replier->send(dbus::encodeURL(url), dbus::encodeError(error));
            });
    });
}

void ServiceListener::unmountDMGWithMountPath(sdbus::MethodCall call)
{
    std::string mountPath;
    call >> mountPath;
    auto service = delegate_.serviceFor(call.getSender());
    monitor_.callStarted();
    dispatch::DispatchQueue::global()->async([this, service, mountPath, call]() mutable {
        CallScope scope(monitor_);
        // Everything that refers to the connection goes before the call counts as ended.
        auto message = std::move(call);
        UnmountDMGResponse response;
        if (!message.doesntExpectReply()) {
            auto replier = std::make_shared<Replier>(std::move(message));
            response = [replier](ErrorPtr error) { replier->send(dbus::encodeError(error)); };
        }
        service->unmountDMGWithMountPath(URL::fileURL(mountPath, true), std::move(response));
    });
}

int ServiceListener::run()
{
    // Copies of busy images stay only while attached; what a run that ended
    // before their detach left behind goes now.
    DuvrinXPCService(log::Logger(subsystem, category), options_.service).removeLeftoverCopies();
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IObject> object;
    try {
        connection = sdbus::createSessionBusConnection();
        object = sdbus::createObject(*connection, dbus::objectPath);
        object->registerMethod(dbus::interfaceName, dbus::mountMethod, dbus::mountInputSignature,
            {"dmg", "mountPoint"}, dbus::mountOutputSignature, {"mountPoint", "error"},
            [this](sdbus::MethodCall call) { mountDMG(std::move(call)); });
        object->registerMethod(dbus::interfaceName, dbus::unmountMethod, dbus::unmountInputSignature, {"mountPath"},
            dbus::unmountOutputSignature, {"error"},
            [this](sdbus::MethodCall call) { unmountDMGWithMountPath(std::move(call)); });
        object->finishRegistration();
        // A caller's service goes when the caller leaves the bus.
        connection->addMatch(
            "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged'",
            [this](sdbus::Message& signal) {
                std::string name, oldOwner, newOwner;
                signal >> name >> oldOwner >> newOwner;
                if (newOwner.empty() && name == oldOwner)
                    delegate_.peerLeft(name);
            },
            sdbus::floating_slot);
        connection->requestName(options_.busName);
    } catch (const sdbus::Error& error) {
        std::fprintf(stderr, "duvrin-xpc: cannot serve %s on the session bus: %s\n", options_.busName.c_str(),
            error.what());
        return 1;
    }

    std::thread loop([&] {
        try {
            connection->enterEventLoop();
        } catch (const sdbus::Error& error) {
            std::fprintf(stderr, "duvrin-xpc: lost the session bus: %s\n", error.what());
        }
        monitor_.busLost();
    });

    bool idle = monitor_.waitUntilIdle(options_.idleTimeout);
    if (idle) {
        // Give the name up first, so the bus starts a new instance for later
        // callers, then answer whatever reached this one before that.
        try {
            connection->releaseName(options_.busName);
        } catch (const sdbus::Error&) {
        }
    }
    connection->leaveEventLoop();
    loop.join();
    if (idle) {
        try {
            while (connection->processPendingRequest()) {
            }
        } catch (const sdbus::Error&) {
        }
    }
    monitor_.waitForCalls();
    object.reset();
    connection.reset();
    return idle ? 0 : 1;
}

} // namespace tavik::service
