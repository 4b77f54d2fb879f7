#include "platform/testing/SmallFileSystem.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>
#include <utility>

namespace tavik::testing {

SmallFileSystem::SmallFileSystem(std::filesystem::path path)
    : path_(std::move(path))
{
}

SmallFileSystem::SmallFileSystem(SmallFileSystem&& other) noexcept
    : path_(std::exchange(other.path_, {}))
{
}

SmallFileSystem::~SmallFileSystem()
{
    if (path_.empty())
        return;
    ::umount2(path_.c_str(), MNT_DETACH);
    ::rmdir(path_.c_str());
}

std::optional<SmallFileSystem> SmallFileSystem::mount(uint64_t bytes, std::string& whyNot)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tavik-small-fs-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        whyNot = std::string("no folder to mount on: ") + std::strerror(errno);
        return std::nullopt;
    }
    std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    if (::mount("tavik-test", pattern.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        whyNot = std::string("mounting a tmpfs is not allowed here (") + std::strerror(errno) + ")";
        ::rmdir(pattern.c_str());
        return std::nullopt;
    }
    return SmallFileSystem(pattern);
}

} // namespace tavik::testing
