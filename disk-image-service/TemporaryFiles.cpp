#include "disk-image-service/TemporaryFiles.hpp"

#include "platform/foundation/FileDescriptor.hpp"
#include "platform/foundation/FileError.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik::service {

namespace {

// Copies the contents; returns 0 or the errno of the failure, with
// `writing` saying on which side it happened.
int copyContents(int from, int to, bool& writing)
{
    for (;;) {
        ssize_t copied = copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
        if (copied == 0)
            return 0;
        if (copied > 0)
            continue;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
            writing = errno != EBADF && errno != EIO;
            return errno;
        }
        break; // not supported here: fall back to reading and writing
    }
    char buffer[1 << 16];
    for (;;) {
        ssize_t got = read(from, buffer, sizeof buffer);
        if (got == 0)
            return 0;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            writing = false;
            return errno;
        }
        for (ssize_t offset = 0; offset < got;) {
            ssize_t written = write(to, buffer + offset, static_cast<size_t>(got - offset));
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                writing = true;
                return errno;
            }
            offset += written;
        }
    }
}

} // namespace

Result<void> copyItem(const std::filesystem::path& source, const std::filesystem::path& destination)
{
    FileDescriptor from(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!from.valid())
        return FileError::fromErrno(errno, source, false);
    struct stat info {};
    if (fstat(from.get(), &info) != 0)
        return FileError::fromErrno(errno, source, false);
    if (!S_ISREG(info.st_mode))
        return FileError::make(FileError::Code::fileReadUnknown, source, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);

    FileDescriptor to(open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 0777));
    if (!to.valid())
        return FileError::fromErrno(errno, destination, true);

    bool writing = true;
    int failure = copyContents(from.get(), to.get(), writing);
    if (failure == 0) {
        fchmod(to.get(), info.st_mode & 0777); // the umask narrowed the mode at creation
        timespec times[2] = {info.st_atim, info.st_mtim};
        futimens(to.get(), times);
        if (!to.close()) {
            failure = errno;
            writing = true;
        }
    }
    if (failure != 0) {
        unlink(destination.c_str());
        return FileError::fromErrno(failure, writing ? destination : source, writing);
    }
    return {};
}

} // namespace tavik::service
