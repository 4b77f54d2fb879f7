#include "platform/foundation/TemporaryDirectory.hpp"

#include "platform/foundation/FileDescriptor.hpp"
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
    FileDescriptor folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) {
        // ELOOP: a symbolic link; ENOTDIR: some other kind of file.
        int error = errno;
        return FileError::fromErrno(error == ENOTDIR ? EEXIST : error, path, true);
    }
    struct stat status {};
    if (::fstat(folder.get(), &status) != 0)
        return FileError::fromErrno(errno, path, true);
    if (status.st_uid != ::geteuid())
        return FileError::fromErrno(EACCES, path, true);
    if ((status.st_mode & 07777) != 0700 && ::fchmod(folder.get(), 0700) != 0)
        return FileError::fromErrno(errno, path, true);
    return URL::fileURL(path, true);
}

} // namespace tavik
