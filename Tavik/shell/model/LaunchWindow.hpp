#pragma once

// Which window the application opens when it starts, and where its icons
// show: the parts of starting a desktop Tavik that need no toolkit.

#include "Tavik/configuration/ApplicationDockIconMenuBarOption.hpp"

#include <string>
#include <vector>

namespace tavik::shell {

enum class LaunchWindow {
    none,
    preferences,
    intro,
    fileSources
};

// The first window: none when the login item started us after the setup,
// the preferences or the introduction when asked for on the command line,
// the introduction until the setup has run, else the file sources window.
LaunchWindow windowAtLaunch(bool hasRunInitialSetup, bool launchedByLauncher, const std::vector<std::string>& arguments);

// The taskbar entry stands in for the dock icon: a "regular" application
// keeps one while a window is open; an "accessory" shows none.
enum class ActivationPolicy {
    regular,
    accessory
};

struct IconPresence {
    ActivationPolicy activationPolicy;
    bool statusItem; // the tray icon
};

// The dock icon shows whenever a window is open or the option is not
// menuBarOnly; the tray icon whenever the option is not dockOnly and the
// setup has run.
IconPresence iconPresence(ApplicationDockIconMenuBarOption option, bool anyWindowOpen, bool hasRunInitialSetup);

// Whether the user is left with no icon to reach Tavik through: the tray icon
// is wanted but the desktop has no tray, and no window is open. The file
// sources window is then reached by starting Tavik again (its launcher entry).
bool needsLauncherEntryToReopen(const IconPresence& presence, bool trayAvailable, bool anyWindowOpen);

} // namespace tavik::shell
