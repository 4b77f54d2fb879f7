#include "Tavik/shell/model/StatusMenu.hpp"

#include "Tavik/application/AppDelegate.hpp"

#include <algorithm>

namespace tavik::shell {

std::vector<StatusMenuItem> statusMenuItems(const FileSourceConfigurationsManager::Configurations& configurations)
{
    using Kind = StatusMenuItem::Kind;
    std::vector<StatusMenuItem> items;
    for (const auto& configuration : configurations) {
        if (configuration->fileSource() != FileSource::directory)
            continue;
        items.push_back({Kind::folder, configuration->displayName().currentValue(), "", false, configuration});
    }
    if (!items.empty())
        items.push_back({Kind::separator, "", "", true, nullptr});
    items.push_back({Kind::openMainWindow, "Open Main Window...", "", true, nullptr});
    items.push_back({Kind::preferences, "Preferences...", ",", true, nullptr});
    items.push_back({Kind::separator, "", "", true, nullptr});
    items.push_back({Kind::quit, "Quit Tavik", "q", true, nullptr});
    return items;
}

std::string statusIconName(FileSourceConfiguration::Status status)
{
    switch (status) {
    case FileSourceConfiguration::Status::available:
        return "tavik-status-available";
    case FileSourceConfiguration::Status::partiallyAvailable:
        return "tavik-status-partially-available";
    case FileSourceConfiguration::Status::unavailable:
        return "tavik-status-unavailable";
    case FileSourceConfiguration::Status::notDetermined:
        break;
    }
    return "tavik-status-none";
}

bool canHandleDrag(const std::vector<URL>& files)
{
    return std::any_of(files.begin(), files.end(), AppDelegate::isSupportedDownload);
}

} // namespace tavik::shell
