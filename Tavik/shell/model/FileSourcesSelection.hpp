#pragma once

// What the file sources window shows for a selection of sources, and the
// texts it asks with before changing them.

#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "platform/alerts/AlertPresenter.hpp"

#include <optional>
#include <string>
#include <vector>

namespace tavik::shell {

using Configurations = FileSourceConfigurationsManager::Configurations;

struct SelectionState {
    // The remove action works on watched folders only; the icons stay.
    bool removeEnabled = false;
    // Covers the settings unless exactly one source is selected.
    std::optional<std::string> overlayText;
    // The one selected source, whose settings are shown.
    FileSourceConfigurationPtr editing;
};

SelectionState selectionState(const Configurations& selected);

// The selected sources that can be removed (watched folders), in order.
Configurations removableSources(const Configurations& selected);

// "Remove <name>?" or "Remove <n> file sources?"; buttons "Remove", "Cancel".
alerts::Alert removalConfirmation(const Configurations& removable);

// Asked before a platform applications folder is watched: "Continue", "Cancel".
alerts::Alert watchApplicationsFolderConfirmation(const std::string& path);

// Asked before a folder that is not an applications folder becomes a
// destination: "Add Directory", "Cancel".
alerts::Alert nonApplicationsDestinationConfirmation(const std::string& path);

// The image resource a source's row shows; folders show their own folder icon.
std::optional<std::string> rowIconResource(FileSource source);

// The destination pop-up of one source: one item per destination, the
// source's own selected. With no destinations at all, the choose button
// stands in for the pop-up.
struct DestinationMenu {
    struct Item {
        std::string title; // the folder's path
        UUID uuid;
    };
    bool showsChooseButton = false;
    std::vector<Item> items;
    std::optional<size_t> selectedIndex;
};

DestinationMenu destinationMenu(const std::vector<ApplicationsDestinationPtr>& destinations,
    const std::optional<UUID>& configurationDestination);

// The error button's tool tip: the errors' descriptions, one a line;
// nothing when there is no error to show.
std::optional<std::string> configurationErrorsToolTip(const FileSourceConfiguration::ConfigurationErrors& errors);

} // namespace tavik::shell
