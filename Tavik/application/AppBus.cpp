#include "Tavik/application/AppBus.hpp"

#include "launcher/LauncherBus.hpp"

#include <sdbus-c++/sdbus-c++.h>

namespace tavik {

namespace {

ErrorPtr busError(const sdbus::Error& error)
{
    return GenericError::make(error.getName(), 1, error.getMessage());
}

} // namespace

std::optional<FileSource> AppBus::dropTarget(const std::string& text)
{
    if (text == "app-icon")
        return FileSource::appIcon;
    if (text == "status-bar")
        return FileSource::statusBarIcon;
    return std::nullopt;
}

std::string AppBus::dropTargetName(FileSource target)
{
    return target == FileSource::statusBarIcon ? "status-bar" : "app-icon";
}

Result<std::unique_ptr<AppBusService>> AppBusService::start(OpenHandler handler, ReopenHandler reopen,
    LostHandler lost)
{
    std::unique_ptr<AppBusService> service(new AppBusService());
    try {
        service->connection_ = sdbus::createSessionBusConnection(AppBus::name);
        service->object_ = sdbus::createObject(*service->connection_, AppBus::objectPath);
        service->object_->registerMethod(AppBus::interfaceName, AppBus::openMethod, "ass", {"paths", "target"}, "", {},
            [handler = std::move(handler)](sdbus::MethodCall call) {
                std::vector<std::string> paths;
                std::string targetName;
                call >> paths >> targetName;
                auto target = AppBus::dropTarget(targetName);
                if (!target)
                    throw sdbus::Error("org.freedesktop.DBus.Error.InvalidArgs", "Unknown drop target: " + targetName);
                std::vector<URL> files;
                for (const auto& path : paths) {
                    if (path.empty() || path.front() != '/')
                        throw sdbus::Error("org.freedesktop.DBus.Error.InvalidArgs", "Not an absolute path: " + path);
                    files.push_back(URL::fileURL(path));
                }
                handler(std::move(files), *target);
                auto reply = call.createReply();
                reply.send();
            });
        service->object_->registerMethod(AppBus::interfaceName, AppBus::reopenMethod, "", {}, "b", {"shown"},
            [reopen = std::move(reopen)](sdbus::MethodCall call) {
                bool shown = reopen ? reopen() : false;
                auto reply = call.createReply();
                reply << shown;
                reply.send();
            });
        service->object_->finishRegistration();
        // The bus can go away before us (it ends with the session, or with
        // the same Ctrl-C): that ends serving and is reported, never the process.
        service->eventLoop_ = std::thread([service = service.get(), lost = std::move(lost)] {
            std::string failure = "the bus connection's event loop ended";
            try {
                service->connection_->enterEventLoop();
            } catch (const std::exception& error) {
                failure = error.what();
            }
            if (!service->stopping_ && lost)
                lost(failure);
        });
    } catch (const sdbus::Error& error) {
        return busError(error);
    }
    return service;
}

AppBusService::~AppBusService()
{
    if (eventLoop_.joinable()) {
        stopping_ = true;
        try {
            connection_->leaveEventLoop();
        } catch (const sdbus::Error&) {
        }
        eventLoop_.join();
    }
    object_.reset();
}

Result<bool> openInRunningInstance(const std::vector<URL>& files, FileSource target)
{
    try {
        auto connection = sdbus::createSessionBusConnection();
        auto running = launcher::isNameOnBus(*connection, AppBus::name);
        if (!running || !*running)
            return running;
        std::vector<std::string> paths;
        for (const auto& file : files)
            paths.push_back(file.path().string());
        auto proxy = sdbus::createProxy(*connection, AppBus::name, AppBus::objectPath);
        auto call = proxy->createMethodCall(AppBus::interfaceName, AppBus::openMethod);
        call << paths << AppBus::dropTargetName(target);
        proxy->callMethod(call);
        return true;
    } catch (const sdbus::Error& error) {
        return busError(error);
    }
}

Result<bool> reopenRunningInstance()
{
    try {
        auto connection = sdbus::createSessionBusConnection();
        auto running = launcher::isNameOnBus(*connection, AppBus::name);
        if (!running || !*running)
            return running;
        auto proxy = sdbus::createProxy(*connection, AppBus::name, AppBus::objectPath);
        auto call = proxy->createMethodCall(AppBus::interfaceName, AppBus::reopenMethod);
        bool shown = false;
        proxy->callMethod(call) >> shown;
        return true;
    } catch (const sdbus::Error& error) {
        return busError(error);
    }
}

} // namespace tavik
