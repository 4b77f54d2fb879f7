#include "Tavik/shell/model/StatusMenu.hpp"

#include "Tavik/application/AppDelegate.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>

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
    std::string_view image = FileSourceConfiguration::statusImageName(status);
    image.remove_prefix(2); // "NS"
    std::string name = "tavik";
    for (char c : image) {
        if (std::isupper(static_cast<unsigned char>(c))) {
            name += '-';
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else {
            name += c;
        }
    }
    return name;
}

bool canHandleDrag(const std::vector<URL>& files)
{
    return std::any_of(files.begin(), files.end(), AppDelegate::isSupportedDownload);
}

} // namespace tavik::shell
