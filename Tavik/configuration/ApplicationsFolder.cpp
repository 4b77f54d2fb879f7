#include "Tavik/configuration/ApplicationsFolder.hpp"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace tavik {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> homeFolder()
{
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return fs::path(home);
    if (auto* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && *entry->pw_dir == '/')
        return fs::path(entry->pw_dir);
    return std::nullopt;
}

std::vector<std::string> pathComponents(const fs::path& path)
{
    std::vector<std::string> components;
    for (const auto& component : path) {
        if (!component.empty())
            components.push_back(component.string());
    }
    return components;
}

} // namespace

std::vector<URL> applicationsDirectories(SearchPathDomain domain)
{
    switch (domain) {
    case SearchPathDomain::user:
        if (auto home = homeFolder())
            return {URL::fileURL(*home / "Applications", true)};
        return {};
    case SearchPathDomain::local:
        return {URL::fileURL("/Applications", true)};
    }
    return {};
}

bool isApplicationsFolder(const URL& url)
{
    auto resolved = url.resolvingSymlinksInPath().path();
    for (auto domain : {SearchPathDomain::user, SearchPathDomain::local}) {
        for (const auto& folder : applicationsDirectories(domain)) {
            if (folder.resolvingSymlinksInPath().path() == resolved)
                return true;
        }
    }

    auto user = applicationsDirectories(SearchPathDomain::user);
    auto local = applicationsDirectories(SearchPathDomain::local);
    if (user.empty() || local.empty())
        return false;
    // Components as the platform counts them: "/" first, then the names.
    auto userComponents = pathComponents(user.front().path());
    auto localComponents = pathComponents(local.front().path());
    if (userComponents.size() < 3 || localComponents.empty())
        return false;
    auto ownFolder = URL::fileURL(fs::path("/") / userComponents[1] / userComponents[2] / localComponents.back(), true);
    return url.path() == ownFolder.path();
}

} // namespace tavik
