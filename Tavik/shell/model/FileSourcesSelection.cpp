#include "Tavik/shell/model/FileSourcesSelection.hpp"

namespace tavik::shell {

SelectionState selectionState(const Configurations& selected)
{
    SelectionState state;
    state.removeEnabled = !removableSources(selected).empty();
    if (selected.empty())
        state.overlayText = "No File Source Selected";
    else if (selected.size() > 1)
        state.overlayText = "Multiple File Sources Selected";
    else
        state.editing = selected.front();
    return state;
}

Configurations removableSources(const Configurations& selected)
{
    Configurations removable;
    for (const auto& configuration : selected) {
        if (configuration->fileSource() == FileSource::directory)
            removable.push_back(configuration);
    }
    return removable;
}

alerts::Alert removalConfirmation(const Configurations& removable)
{
    alerts::Alert alert;
    if (removable.size() == 1)
        alert.messageText = "Remove " + removable.front()->displayName().currentValue() + "?";
    else
        alert.messageText = "Remove " + std::to_string(removable.size()) + " file sources?";
    alert.informativeText = "This cannot be undone";
    alert.buttons = {"Remove", "Cancel"};
    return alert;
}

alerts::Alert watchApplicationsFolderConfirmation(const std::string& path)
{
    return {"Watch Applications directory?",
        path
            + " is a directory where applications are stored. Watching this directory could lead to many "
              "applications being found, errors, or system instability. This action is not recommended.",
        {"Continue", "Cancel"}};
}

alerts::Alert nonApplicationsDestinationConfirmation(const std::string& path)
{
    return {"Add Non-Applications directory?",
        path + " is not a directory where applications are typically stored. Are you sure you want to add it?",
        {"Add Directory", "Cancel"}};
}

std::optional<std::string> rowIconResource(FileSource source)
{
    switch (source) {
    case FileSource::appIcon:
        return "App Icon 24pt";
    case FileSource::statusBarIcon:
        return "Menu Bar Icon 24pt";
    case FileSource::directory:
        break;
    }
    return std::nullopt;
}

DestinationMenu destinationMenu(const std::vector<ApplicationsDestinationPtr>& destinations,
    const std::optional<UUID>& configurationDestination)
{
    DestinationMenu menu;
    menu.showsChooseButton = destinations.empty();
    for (const auto& destination : destinations) {
        auto url = destination->url();
        // A destination whose folder is gone still shows, by its UUID, so
        // that the source's choice stays visible; the error button explains.
        std::string title = url ? url->path().string() : destination->uuid().uuidString();
        if (configurationDestination && destination->uuid() == *configurationDestination)
            menu.selectedIndex = menu.items.size();
        menu.items.push_back({std::move(title), destination->uuid()});
    }
    return menu;
}

std::optional<std::string> configurationErrorsToolTip(const FileSourceConfiguration::ConfigurationErrors& errors)
{
    if (!errors || errors->empty())
        return std::nullopt;
    std::string text;
    for (const auto& error : *errors) {
        if (!text.empty())
            text += '\n';
        text += error.description();
    }
    return text;
}

} // namespace tavik::shell
