#include "launcher/LauncherBus.hpp"

#include <sdbus-c++/sdbus-c++.h>

namespace tavik::launcher {

namespace {

ErrorPtr busError(const sdbus::Error& error)
{
    return GenericError::make(error.getName(), 1, error.getMessage());
}

} // namespace

std::string LauncherBus::quitSignalMatchRule()
{
    return std::string("type='signal',interface='") + quitSignalInterface + "',member='" + quitSignalName + "'";
}

Result<bool> isNameOnBus(sdbus::IConnection& connection, const std::string& name)
{
    try {
        auto bus = sdbus::createProxy(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        bool owned = false;
        bus->callMethod("NameHasOwner").onInterface("org.freedesktop.DBus").withArguments(name).storeResultsTo(owned);
        return owned;
    } catch (const sdbus::Error& error) {
        return busError(error);
    }
}

Result<bool> isNameOnSessionBus(const std::string& name)
{
    try {
        auto connection = sdbus::createSessionBusConnection();
        return isNameOnBus(*connection, name);
    } catch (const sdbus::Error& error) {
        return busError(error);
    }
}

Result<void> postQuitTavikLauncher()
{
    try {
        auto connection = sdbus::createSessionBusConnection();
        auto object = sdbus::createObject(*connection, LauncherBus::quitSignalPath);
        object->emitSignal(LauncherBus::quitSignalName).onInterface(LauncherBus::quitSignalInterface);
        return {};
    } catch (const sdbus::Error& error) {
        return busError(error);
    }
}

} // namespace tavik::launcher
