#include "platform/filemanager/SpaceBudget.hpp"

#include "platform/foundation/FileError.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/statvfs.h>

namespace tavik {

std::uint64_t SpaceBudget::reserveFor(std::uint64_t fileSystemBytes)
{
    constexpr std::uint64_t minimum = std::uint64_t {16} << 20;
    constexpr std::uint64_t maximum = std::uint64_t {1} << 30;
    return std::clamp(fileSystemBytes / 20, minimum, maximum);
}

SpaceBudget SpaceBudget::make(std::uint64_t freeBytes, std::uint64_t fileSystemBytes)
{
    const std::uint64_t reserve = reserveFor(fileSystemBytes);
    const std::uint64_t usable = freeBytes > reserve ? freeBytes - reserve : 0;
    return SpaceBudget {freeBytes, fileSystemBytes, std::min(usable, cap)};
}

Result<SpaceBudget> SpaceBudget::forFolder(const std::filesystem::path& folder)
{
    struct statvfs info {};
    if (::statvfs(folder.c_str(), &info) != 0)
        return FileError::fromErrno(errno, folder, false);
    const std::uint64_t unit = info.f_frsize ? info.f_frsize : info.f_bsize;
    // f_bavail: what an unprivileged writer may still use.
    return make(std::uint64_t(info.f_bavail) * unit, std::uint64_t(info.f_blocks) * unit);
}

Result<SpaceBudget> SpaceBudget::forFolderToBe(std::filesystem::path folder)
{
    std::error_code error;
    while (!std::filesystem::exists(folder, error) && folder.has_relative_path())
        folder = folder.parent_path();
    return forFolder(folder);
}

} // namespace tavik
