#include "service-protocol/DuvrinXPCConnection.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/strings/UTF8.hpp"
#include "service-protocol/DBusMapping.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <fmt/format.h>

namespace tavik::service {

ServiceConnectionError::ServiceConnectionError(Reason reason, std::string detail)
    : reason_(reason)
    , detail_(std::move(detail))
{
}

ErrorPtr ServiceConnectionError::make(Reason reason, std::string detail)
{
    return std::make_shared<const ServiceConnectionError>(reason, std::move(detail));
}

std::string ServiceConnectionError::description() const
{
    std::string_view what;
    switch (reason_) {
    case Reason::noBus:
        what = "Couldn't connect to the session bus";
        break;
    case Reason::notStartable:
        what = "The disk image service could not be started";
        break;
    case Reason::timedOut:
        what = "The disk image service did not answer in time";
        break;
    case Reason::interrupted:
        what = "The connection to the disk image service was interrupted";
        break;
    case Reason::invalidReply:
        what = "The disk image service sent an answer that could not be read";
        break;
    case Reason::invalidRequest:
        what = "The request could not be sent to the disk image service";
        break;
    }
    if (detail_.empty())
        return std::string(what) + ".";
    return fmt::format("{}: {}", what, detail_);
}

namespace {

using Reason = ServiceConnectionError::Reason;

ErrorPtr callError(const sdbus::Error& error)
{
    const std::string& name = error.getName();
    std::string detail = error.getMessage().empty() ? name : error.getMessage();
    Reason reason = Reason::interrupted;
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" || name == "org.freedesktop.DBus.Error.NameHasNoOwner"
        || name.starts_with("org.freedesktop.DBus.Error.Spawn."))
        reason = Reason::notStartable;
    else if (name == "org.freedesktop.DBus.Error.Timeout" || name == "org.freedesktop.DBus.Error.TimedOut")
        reason = Reason::timedOut;
    else if (name == "org.freedesktop.DBus.Error.InvalidArgs" || name == "org.freedesktop.DBus.Error.UnknownMethod")
        reason = Reason::invalidReply;
    return ServiceConnectionError::make(reason, std::move(detail));
}

// An answer that does not have the agreed form.
struct InvalidReply {
    std::string detail;
};

template <class... Values>
void read(sdbus::MethodReply& reply, Values&... values)
{
    try {
        (reply >> ... >> values);
    } catch (const sdbus::Error& error) {
        throw InvalidReply {error.getMessage()};
    }
    if (!reply)
        throw InvalidReply {"the answer has too few values"};
}

void startService(sdbus::IConnection& connection, const std::string& name, std::chrono::milliseconds timeout)
{
    auto bus = sdbus::createProxy(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    auto query = bus->createMethodCall("org.freedesktop.DBus", "NameHasOwner");
    query << name;
    bool hasOwner = false;
    bus->callMethod(query) >> hasOwner;
    if (hasOwner)
        return;
    auto message = bus->createMethodCall("org.freedesktop.DBus", "StartServiceByName");
    message << name << uint32_t(0);
    bus->callMethod(message, std::chrono::microseconds(timeout).count());
}

// The remote proxy: each call runs on a global queue thread with a bus
// connection of its own, which it closes before it returns.
class RemoteService final : public DuvrinXPCServiceProtocol {
public:
    RemoteService(DuvrinXPCConnection::Options options, ServiceErrorHandler errorHandler)
        : options_(std::move(options))
        , errorHandler_(std::move(errorHandler))
    {
    }

    void mountDMG(const URL& dmg, const URL& mountPoint, MountDMGResponse response) override
    {
        std::string dmgPath = dmg.path().string();
        std::string mountPath = mountPoint.path().string();
        if (!isValidUTF8(dmgPath) || !isValidUTF8(mountPath)) {
            fail(ServiceConnectionError::make(Reason::invalidRequest, "the path is not valid UTF-8"));
            return;
        }
        dispatch::DispatchQueue::global()->async(
            [options = options_, errorHandler = errorHandler_, dmgPath, mountPath, response = std::move(response)] {
                std::optional<URL> url;
                ErrorPtr error;
                if (call(options, errorHandler, [&](sdbus::IProxy& proxy) {
                        auto message = proxy.createMethodCall(dbus::interfaceName, dbus::mountMethod);
                        message << dmgPath << mountPath;
                        auto reply = proxy.callMethod(message, std::chrono::microseconds(options.mountTimeout).count());
                        dbus::WireURL wireURL;
                        dbus::WireError wireError;
                        read(reply, wireURL, wireError);
                        url = dbus::decodeURL(wireURL);
                        error = dbus::decodeError(wireError);
                    }))
                    return;
                if (response)
                    response(std::move(url), std::move(error));
            });
    }

    void unmountDMGWithMountPath(const URL& mountPath, UnmountDMGResponse response) override
    {
        std::string path = mountPath.path().string();
        if (!isValidUTF8(path)) {
            fail(ServiceConnectionError::make(Reason::invalidRequest, "the path is not valid UTF-8"));
            return;
        }
        dispatch::DispatchQueue::global()->async(
            [options = options_, errorHandler = errorHandler_, path, response = std::move(response)] {
                ErrorPtr error;
                if (call(options, errorHandler, [&](sdbus::IProxy& proxy) {
                        // The bus drops a message that waits for the service to start
                        // once its sender has gone, and a call without reply does not
                        // wait: so have the service started first.
                        if (!response)
                            startService(proxy.getConnection(), options.serviceName, options.unmountTimeout);
                        auto message = proxy.createMethodCall(dbus::interfaceName, dbus::unmountMethod);
                        message << path;
                        if (!response) {
                            message.dontExpectReply();
                            proxy.callMethod(message);
                            return;
                        }
                        auto reply = proxy.callMethod(message, std::chrono::microseconds(options.unmountTimeout).count());
                        dbus::WireError wireError;
                        read(reply, wireError);
                        error = dbus::decodeError(wireError);
                    }))
                    return;
                if (response)
                    response(std::move(error));
            });
    }

private:
    // Opens a connection, runs the exchange and closes the connection again.
    // Reports a failure to the error handler and returns true when there was one.
    template <class Exchange>
    static bool call(const DuvrinXPCConnection::Options& options, const ServiceErrorHandler& errorHandler, Exchange&& exchange)
    {
        ErrorPtr failure;
        std::unique_ptr<sdbus::IConnection> connection;
        try {
            connection = sdbus::createSessionBusConnection();
        } catch (const sdbus::Error& error) {
            failure = ServiceConnectionError::make(Reason::noBus, error.getMessage());
        }
        if (connection) {
            try {
                auto proxy = sdbus::createProxy(*connection, options.serviceName, dbus::objectPath);
                exchange(*proxy);
            } catch (const InvalidReply& invalid) {
                failure = ServiceConnectionError::make(Reason::invalidReply, invalid.detail);
            } catch (const sdbus::Error& error) {
                failure = callError(error);
            }
        }
        connection.reset();
        if (failure && errorHandler)
            errorHandler(failure);
        return failure != nullptr;
    }

    void fail(ErrorPtr error) const
    {
        dispatch::DispatchQueue::global()->async([errorHandler = errorHandler_, error = std::move(error)] {
            if (errorHandler)
                errorHandler(error);
        });
    }

    DuvrinXPCConnection::Options options_;
    ServiceErrorHandler errorHandler_;
};

} // namespace

DuvrinXPCConnection::DuvrinXPCConnection()
    : DuvrinXPCConnection(Options {dbus::serviceName})
{
}

DuvrinXPCConnection::DuvrinXPCConnection(Options options)
    : options_(std::move(options))
{
    if (options_.serviceName.empty())
        options_.serviceName = dbus::serviceName;
}

std::shared_ptr<DuvrinXPCServiceProtocol> DuvrinXPCConnection::remoteObjectProxyWithErrorHandler(ServiceErrorHandler handler) const
{
    return std::make_shared<RemoteService>(options_, std::move(handler));
}

} // namespace tavik::service
