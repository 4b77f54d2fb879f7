#include "platform/foundation/FileWriting.hpp"

#include "platform/foundation/FileError.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik {

Result<void> writeAll(int descriptor, std::string_view bytes, const std::filesystem::path& path)
{
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t count = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return FileError::fromErrno(errno, path, true);
        }
        written += size_t(count);
    }
    return {};
}

Result<void> replaceFile(const std::filesystem::path& path, std::string_view bytes, mode_t mode)
{
    std::string temporary = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    FileDescriptor descriptor(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!descriptor.valid())
        return FileError::fromErrno(errno, path, true);
    auto discard = [&](ErrorPtr error) -> Result<void> {
        ::unlink(temporary.c_str());
        return error;
    };
    if (::fchmod(descriptor.get(), mode) != 0)
        return discard(FileError::fromErrno(errno, path, true));
    if (auto written = writeAll(descriptor.get(), bytes, path); !written)
        return discard(written.error());
    if (::fsync(descriptor.get()) != 0 || !descriptor.close() || ::rename(temporary.c_str(), path.c_str()) != 0)
        return discard(FileError::fromErrno(errno, path, true));
    return {};
}

Result<void> fsyncFolder(const std::filesystem::path& folder)
{
    FileDescriptor descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!descriptor.valid())
        return FileError::fromErrno(errno, folder, true);
    if (::fsync(descriptor.get()) != 0)
        return FileError::fromErrno(errno, folder, true);
    return {};
}

Result<FileLock> FileLock::acquire(const std::filesystem::path& lockFile)
{
    FileDescriptor descriptor(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!descriptor.valid())
        return FileError::fromErrno(errno, lockFile, true);
    while (::flock(descriptor.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return FileError::fromErrno(errno, lockFile, true);
    }
    return FileLock(std::move(descriptor));
}

FileLock& FileLock::operator=(FileLock&& other) noexcept
{
    if (this != &other) {
        unlock();
        descriptor_ = std::move(other.descriptor_);
    }
    return *this;
}

FileLock::~FileLock() { unlock(); }

void FileLock::unlock()
{
    // Released here even while a duplicate of the descriptor stays open.
    if (descriptor_.valid())
        ::flock(descriptor_.get(), LOCK_UN);
}

} // namespace tavik
