#include "platform/testing/Files.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace tavik::testing {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& contents)
{
    if (path.has_parent_path())
        fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

std::string readFile(const fs::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

std::vector<std::string> describeTree(const fs::path& root)
{
    std::vector<std::string> lines;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        struct stat status {};
        ::lstat(it->path().c_str(), &status);
        std::ostringstream line;
        line << it->path().lexically_relative(root).string() << " mode=" << std::oct << (status.st_mode & 07777) << " ";
        if (S_ISLNK(status.st_mode))
            line << "link->" << fs::read_symlink(it->path()).string();
        else if (S_ISDIR(status.st_mode))
            line << "folder";
        else
            line << "file:" << readFile(it->path());
        lines.push_back(line.str());
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

mode_t modeOf(const fs::path& path)
{
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

std::vector<std::string> namesIn(const fs::path& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (auto it = fs::directory_iterator(folder, error); !error && it != fs::directory_iterator(); it.increment(error))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace tavik::testing
