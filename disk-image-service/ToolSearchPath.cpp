#include "disk-image-service/ToolSearchPath.hpp"

#include <cstdlib>
#include <unistd.h>

namespace tavik::service {

bool isOnSearchPath(const std::string& tool, const std::string& searchPath)
{
    size_t start = 0;
    while (start <= searchPath.size()) {
        size_t end = searchPath.find(':', start);
        if (end == std::string::npos)
            end = searchPath.size();
        // An empty entry means the working directory, as for the shell.
        std::string folder = end == start ? "." : searchPath.substr(start, end - start);
        auto candidate = std::filesystem::path(folder) / tool;
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error) && access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

void addToSearchPathIfMissing(const std::string& tool, const std::filesystem::path& folder)
{
    const char* current = std::getenv("PATH");
    std::string searchPath = current ? current : "";
    if (isOnSearchPath(tool, searchPath))
        return;
    searchPath = searchPath.empty() ? folder.string() : searchPath + ":" + folder.string();
    setenv("PATH", searchPath.c_str(), 1);
}

} // namespace tavik::service
