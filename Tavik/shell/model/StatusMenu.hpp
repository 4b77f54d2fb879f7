#pragma once

// What the tray icon's menu holds, built from the configuration list.

#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "platform/foundation/URL.hpp"

#include <string>
#include <vector>

namespace tavik::shell {

struct StatusMenuItem {
    enum class Kind {
        folder,
        separator,
        openMainWindow,
        preferences,
        quit
    };
    Kind kind;
    std::string title;
    std::string keyEquivalent;
    bool enabled = true;
    // The watched folder of a folder item; its status picks the item's image.
    FileSourceConfigurationPtr configuration;
};

// One disabled item per watched folder (the icon sources are left out), a
// separator after them when there are any, then "Open Main Window...",
// "Preferences...", a separator and "Quit Tavik".
std::vector<StatusMenuItem> statusMenuItems(const FileSourceConfigurationsManager::Configurations& configurations);

// The status image's name for an image resource file: "NSStatusAvailable"
// becomes "tavik-status-available".
std::string statusIconName(FileSourceConfiguration::Status status);

// A drag onto the tray icon is taken when at least one of its files is a
// disk image, ZIP archive or installer package.
bool canHandleDrag(const std::vector<URL>& files);

} // namespace tavik::shell
