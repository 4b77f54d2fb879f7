#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavik::testing {

// Sets and unsets environment variables of this process, and puts each back
// as it was when the object goes (in reverse order, so setting one name twice
// still restores the first value).
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    ScopedEnvironment& set(const std::string& name, const std::string& value);
    ScopedEnvironment& unset(const std::string& name);
    // Puts the folder in front of PATH.
    ScopedEnvironment& prependToPath(const std::string& folder);

private:
    void remember(const std::string& name);
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

} // namespace tavik::testing
