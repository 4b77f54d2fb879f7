#include "Tavik/shell/model/LaunchWindow.hpp"

#include <algorithm>

namespace tavik::shell {

namespace {

bool contains(const std::vector<std::string>& arguments, const char* argument)
{
    return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

} // namespace

LaunchWindow windowAtLaunch(bool hasRunInitialSetup, bool launchedByLauncher, const std::vector<std::string>& arguments)
{
    if (!hasRunInitialSetup)
        return LaunchWindow::intro;
    if (launchedByLauncher)
        return LaunchWindow::none;
    if (contains(arguments, "--showPreferences"))
        return LaunchWindow::preferences;
    if (contains(arguments, "--showIntro"))
        return LaunchWindow::intro;
    return LaunchWindow::fileSources;
}

IconPresence iconPresence(ApplicationDockIconMenuBarOption option, bool anyWindowOpen, bool hasRunInitialSetup)
{
    IconPresence presence {};
    presence.activationPolicy = option == ApplicationDockIconMenuBarOption::menuBarOnly && !anyWindowOpen
        ? ActivationPolicy::accessory
        : ActivationPolicy::regular;
    presence.statusItem = option != ApplicationDockIconMenuBarOption::dockOnly && hasRunInitialSetup;
    return presence;
}

bool needsLauncherEntryToReopen(const IconPresence& presence, bool trayAvailable, bool anyWindowOpen)
{
    return !anyWindowOpen && (!presence.statusItem || !trayAvailable);
}

} // namespace tavik::shell
