#include "zip/Attributes.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik::zip {

namespace {

std::array<timespec, 2> timesFor(std::chrono::system_clock::time_point modificationDate)
{
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(modificationDate.time_since_epoch()).count();
    timespec modification {static_cast<time_t>(seconds), 0};
    // The access time becomes the modification time too, as archivers do.
    return {modification, modification};
}

} // namespace

Archive::DataConsumer writingTo(int fd, std::string path)
{
    return [fd, path = std::move(path)](std::span<const std::byte> chunk) -> Result<void> {
        const std::byte* data = chunk.data();
        size_t remaining = chunk.size();
        while (remaining > 0) {
            ssize_t written = ::write(fd, data, remaining);
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                return DataError::make(DataError::Code::unwritableFile, path);
            }
            data += written;
            remaining -= static_cast<size_t>(written);
        }
        return {};
    };
}

Result<void> applyAttributes(int dirfd, const char* name, EntryType type, mode_t permissions,
    std::chrono::system_clock::time_point modificationDate, const std::filesystem::path& errorPath)
{
    if (type != EntryType::symlink && ::fchmodat(dirfd, name, permissions, 0) != 0)
        return FileError::fromErrno(errno, errorPath, true);
    auto times = timesFor(modificationDate);
    if (::utimensat(dirfd, name, times.data(), AT_SYMLINK_NOFOLLOW) != 0)
        return FileError::fromErrno(errno, errorPath, true);
    return {};
}

Result<void> applyAttributes(int fd, mode_t permissions, std::chrono::system_clock::time_point modificationDate,
    const std::filesystem::path& errorPath)
{
    if (::fchmod(fd, permissions) != 0)
        return FileError::fromErrno(errno, errorPath, true);
    auto times = timesFor(modificationDate);
    if (::futimens(fd, times.data()) != 0)
        return FileError::fromErrno(errno, errorPath, true);
    return {};
}

} // namespace tavik::zip
