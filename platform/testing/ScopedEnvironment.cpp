#include "platform/testing/ScopedEnvironment.hpp"

#include <cstdlib>

namespace tavik::testing {

ScopedEnvironment::~ScopedEnvironment()
{
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->second)
            ::setenv(it->first.c_str(), it->second->c_str(), 1);
        else
            ::unsetenv(it->first.c_str());
    }
}

void ScopedEnvironment::remember(const std::string& name)
{
    const char* previous = std::getenv(name.c_str());
    saved_.emplace_back(name, previous ? std::optional<std::string>(previous) : std::nullopt);
}

ScopedEnvironment& ScopedEnvironment::set(const std::string& name, const std::string& value)
{
    remember(name);
    ::setenv(name.c_str(), value.c_str(), 1);
    return *this;
}

ScopedEnvironment& ScopedEnvironment::unset(const std::string& name)
{
    remember(name);
    ::unsetenv(name.c_str());
    return *this;
}

ScopedEnvironment& ScopedEnvironment::prependToPath(const std::string& folder)
{
    const char* path = std::getenv("PATH");
    return set("PATH", folder + ":" + (path ? path : "/usr/bin:/bin"));
}

} // namespace tavik::testing
