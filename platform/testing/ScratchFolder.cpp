#include "platform/testing/ScratchFolder.hpp"

#include "platform/testing/Files.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tavik::testing {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder(const std::string& name, const fs::path& parent)
{
    std::string pattern = ((parent.empty() ? fs::temp_directory_path() : parent) / (name + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a scratch folder " + pattern + ": " + std::strerror(errno));
    path_ = fs::canonical(pattern);
}

ScratchFolder::ScratchFolder(ScratchFolder&& other) noexcept
    : path_(std::move(other.path_))
{
    other.path_.clear();
}

ScratchFolder::~ScratchFolder()
{
    if (path_.empty())
        return;
    std::error_code ignored;
    // Extracted trees, fake tools and tests may leave folders without write
    // access, the folder itself included. Each is opened up before the walk
    // goes into it.
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(path_, ignored); !ignored && it != fs::recursive_directory_iterator();
         it.increment(ignored))
        if (!it->is_symlink(ignored) && it->is_directory(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

URL ScratchFolder::url(const std::string& name) const
{
    return URL::fileURL(name.empty() ? path_ : path_ / name, name.empty());
}

URL ScratchFolder::write(const std::string& name, const std::string& bytes) const
{
    writeFile(path_ / name, bytes);
    return URL::fileURL(path_ / name, false);
}

} // namespace tavik::testing
