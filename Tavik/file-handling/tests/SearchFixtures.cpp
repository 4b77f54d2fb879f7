#include "Tavik/file-handling/tests/SearchFixtures.hpp"

#include <algorithm>

namespace tavik::testing {

std::string describeSource(const InstallableApplication::Source& source)
{
    if (auto* dmg = std::get_if<InstallableApplication::Source::DMG>(&source.value))
        return "dmg(" + dmg->fileURL.lastPathComponent() + ") < " + describeSource(*dmg->parent);
    if (auto* zip = std::get_if<InstallableApplication::Source::ZIP>(&source.value))
        return "zip(" + zip->url.lastPathComponent() + ") < " + describeSource(*zip->parent);
    return "directory";
}

std::vector<std::string> describeItems(const std::vector<InstallableApplication>& items, const fs::path& base)
{
    std::vector<std::string> lines;
    for (const auto& item : items)
        lines.push_back((base.empty() ? item.url.lastPathComponent() : item.url.path().lexically_relative(base).string()) + (item.kind == InstallableApplication::Kind::package ? " package" : "") + " in " + describeSource(item.source));
    std::sort(lines.begin(), lines.end());
    return lines;
}

} // namespace tavik::testing
