#include "platform/foundation/TemporaryDirectory.hpp"

#include "platform/foundation/FileError.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik {

namespace {

std::filesystem::path temporaryBase()
{
    const char* variable = std::getenv("TMPDIR");
    if (variable && variable[0] == '/')
        return variable;
    return "/tmp";
}

} // namespace

Result<URL> temporaryDirectory()
{
    auto path = temporaryBase() / ("tavik-" + std::to_string(::geteuid()));

    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return FileError::fromErrno(errno, path, true);

    // Open what is there without following a link, then judge the opened
    // directory itself, so nothing can be swapped in between check and use.
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // ELOOP: a symbolic link; ENOTDIR: some other kind of file.
        int error = errno;
        return FileError::fromErrno(error == ENOTDIR ? EEXIST : error, path, true);
    }
    struct stat status {};
    int result = ::fstat(fd, &status);
    int error = errno;
    if (result == 0 && status.st_uid != ::geteuid()) {
        result = -1;
        error = EACCES;
    }
    if (result == 0 && (status.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
        result = -1;
        error = errno;
    }
    ::close(fd);
    if (result != 0)
        return FileError::fromErrno(error, path, true);
    return URL::fileURL(path, true);
}

} // namespace tavik
