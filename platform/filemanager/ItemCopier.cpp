#include "platform/filemanager/ItemCopier.hpp"

#include "platform/foundation/FileDescriptor.hpp"
#include "platform/foundation/FileError.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace tavik {

namespace {

constexpr size_t bufferSize = 256 * 1024;

// Permission bits a copy keeps: set-user-ID and set-group-ID are dropped,
// as when a file changes owner, and so is write access for group and others,
// so that no other user can change what was installed.
mode_t keptMode(mode_t mode) { return mode & 01755; }

// Best effort, as a copy tool does: attributes the destination cannot take
// are left behind. Security attributes (file capabilities, labels) and
// trusted ones are never carried over from what may be a downloaded bundle.
void copyExtendedAttributes(int input, int output)
{
    ssize_t size = ::flistxattr(input, nullptr, 0);
    if (size <= 0)
        return;
    std::string names(static_cast<size_t>(size), '\0');
    size = ::flistxattr(input, names.data(), names.size());
    if (size <= 0)
        return;
    names.resize(static_cast<size_t>(size));
    std::string value;
    for (size_t start = 0; start < names.size();) {
        const char* name = names.c_str() + start;
        start += std::char_traits<char>::length(name) + 1;
        std::string_view view(name);
        if (view.starts_with("security.") || view.starts_with("trusted."))
            continue;
        ssize_t length = ::fgetxattr(input, name, nullptr, 0);
        if (length < 0)
            continue;
        value.resize(static_cast<size_t>(length));
        length = ::fgetxattr(input, name, value.data(), value.size());
        if (length >= 0)
            ::fsetxattr(output, name, value.data(), static_cast<size_t>(length), 0);
    }
}

mode_t typeOf(unsigned char direntType)
{
    switch (direntType) {
    case DT_DIR:
        return S_IFDIR;
    case DT_REG:
        return S_IFREG;
    case DT_LNK:
        return S_IFLNK;
    case DT_FIFO:
        return S_IFIFO;
    case DT_SOCK:
        return S_IFSOCK;
    case DT_CHR:
        return S_IFCHR;
    case DT_BLK:
        return S_IFBLK;
    default:
        return 0;
    }
}

} // namespace

ItemCopier::ItemCopier(std::filesystem::path shownDestination)
    : shownDestination_(std::move(shownDestination))
{
}

ErrorPtr ItemCopier::readError(const std::filesystem::path& path) const
{
    return FileError::fromErrno(errno, path, false);
}

ErrorPtr ItemCopier::writeError(const std::filesystem::path& path) const
{
    return writeError(path, errno);
}

ErrorPtr ItemCopier::writeError(const std::filesystem::path& path, int error) const
{
    auto relative = path.lexically_relative(destinationRoot_);
    auto shown = relative.empty() || relative == "." ? shownDestination_ : shownDestination_ / relative;
    return FileError::fromErrno(error, shown, true);
}

Result<void> ItemCopier::copy(const std::filesystem::path& source, const std::filesystem::path& destination)
{
    destinationRoot_ = destination;
    struct stat status {};
    if (::lstat(source.c_str(), &status) != 0)
        return readError(source);
    return copyEntry(AT_FDCWD, AT_FDCWD, source.c_str(), destination.c_str(), status.st_mode & S_IFMT, source, destination);
}

Result<void> ItemCopier::copyEntry(int sourceFolder, int destinationFolder, const char* sourceName, const char* destinationName,
    mode_t type, const std::filesystem::path& sourcePath, const std::filesystem::path& destinationPath)
{
    if (type == 0) {
        struct stat status {};
        if (::fstatat(sourceFolder, sourceName, &status, AT_SYMLINK_NOFOLLOW) != 0)
            return readError(sourcePath);
        type = status.st_mode & S_IFMT;
    }
    switch (type) {
    case S_IFREG:
        return copyFile(sourceFolder, destinationFolder, sourceName, destinationName, sourcePath, destinationPath);
    case S_IFDIR:
        return copyFolder(sourceFolder, destinationFolder, sourceName, destinationName, sourcePath, destinationPath);
    case S_IFLNK:
        return copyLink(sourceFolder, destinationFolder, sourceName, destinationName, sourcePath, destinationPath);
    case S_IFIFO: {
        struct stat status {};
        if (::fstatat(sourceFolder, sourceName, &status, AT_SYMLINK_NOFOLLOW) != 0)
            return readError(sourcePath);
        if (::mkfifoat(destinationFolder, destinationName, keptMode(status.st_mode)) != 0)
            return writeError(destinationPath);
        struct timespec times[2] = {status.st_atim, status.st_mtim};
        ::utimensat(destinationFolder, destinationName, times, AT_SYMLINK_NOFOLLOW);
        return {};
    }
    default:
        // Devices and sockets have no place in what is copied for a user.
        errno = ENOTSUP;
        return readError(sourcePath);
    }
}

Result<void> ItemCopier::copyFile(int sourceFolder, int destinationFolder, const char* sourceName, const char* destinationName,
    const std::filesystem::path& sourcePath, const std::filesystem::path& destinationPath)
{
    FileDescriptor input(::openat(sourceFolder, sourceName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!input.valid())
        return readError(sourcePath);
    struct stat status {};
    if (::fstat(input.get(), &status) != 0)
        return readError(sourcePath);
    FileDescriptor output(::openat(destinationFolder, destinationName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!output.valid())
        return writeError(destinationPath);

    if (auto copied = copyContents(input.get(), output.get(), status, sourcePath, destinationPath); !copied)
        return copied;
    if (auto kept = keepAttributes(input.get(), output.get(), status, destinationPath); !kept)
        return kept;
    if (!output.close())
        return writeError(destinationPath);
    return {};
}

Result<void> ItemCopier::copyContents(int input, int output, const struct stat& status,
    const std::filesystem::path& sourcePath, const std::filesystem::path& destinationPath)
{
    if (status.st_size == 0)
        return {};

    if (cloneWorks_) {
        if (::ioctl(output, FICLONE, input) == 0)
            return {};
        // The file system (or this pair of file systems) cannot share
        // extents: stop asking for the rest of this copy.
        if (errno == EOPNOTSUPP || errno == ENOTTY || errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EPERM)
            cloneWorks_ = false;
    }

    if (kernelCopyWorks_) {
        off_t copied = 0;
        while (true) {
            ssize_t count = ::copy_file_range(input, nullptr, output, nullptr, size_t(1) << 30, 0);
            if (count > 0) {
                copied += count;
                continue;
            }
            if (count == 0) {
                if (copied > 0)
                    return {};
                break; // some file systems report nothing: read it instead
            }
            if (errno == EINTR)
                continue;
            if (copied == 0 && (errno == ENOSYS || errno == EOPNOTSUPP || errno == EXDEV || errno == EINVAL || errno == EPERM || errno == EBADF)) {
                if (errno == ENOSYS || errno == EOPNOTSUPP)
                    kernelCopyWorks_ = false;
                break;
            }
            return writeError(destinationPath);
        }
    }

    if (buffer_.empty())
        buffer_.resize(bufferSize);
    while (true) {
        ssize_t count = ::read(input, buffer_.data(), buffer_.size());
        if (count == 0)
            return {};
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return readError(sourcePath);
        }
        for (ssize_t written = 0; written < count;) {
            ssize_t result = ::write(output, buffer_.data() + written, static_cast<size_t>(count - written));
            if (result < 0) {
                if (errno == EINTR)
                    continue;
                return writeError(destinationPath);
            }
            written += result;
        }
    }
}

Result<void> ItemCopier::copyFolder(int sourceFolder, int destinationFolder, const char* sourceName, const char* destinationName,
    const std::filesystem::path& sourcePath, const std::filesystem::path& destinationPath)
{
    FileDescriptor input(::openat(sourceFolder, sourceName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!input.valid())
        return readError(sourcePath);
    struct stat status {};
    if (::fstat(input.get(), &status) != 0)
        return readError(sourcePath);
    // Writable by us while it is filled; its own mode comes last.
    if (::mkdirat(destinationFolder, destinationName, 0700) != 0)
        return writeError(destinationPath);
    FileDescriptor output(::openat(destinationFolder, destinationName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!output.valid())
        return writeError(destinationPath);

    int listed = ::dup(input.get());
    DIR* directory = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!directory) {
        if (listed >= 0)
            ::close(listed);
        return readError(sourcePath);
    }
    Result<void> result;
    errno = 0;
    while (dirent* entry = ::readdir(directory)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        result = copyEntry(input.get(), output.get(), entry->d_name, entry->d_name, typeOf(entry->d_type),
            sourcePath / name, destinationPath / name);
        if (!result)
            break;
        errno = 0;
    }
    if (result && errno != 0)
        result = readError(sourcePath);
    ::closedir(directory);
    if (!result)
        return result;

    return keepAttributes(input.get(), output.get(), status, destinationPath);
}

Result<void> ItemCopier::keepAttributes(int input, int output, const struct stat& status,
    const std::filesystem::path& destinationPath)
{
    if (::fchmod(output, keptMode(status.st_mode)) != 0)
        return writeError(destinationPath);
    copyExtendedAttributes(input, output);
    struct timespec times[2] = {status.st_atim, status.st_mtim};
    if (::futimens(output, times) != 0)
        return writeError(destinationPath);
    return {};
}

Result<void> ItemCopier::copyLink(int sourceFolder, int destinationFolder, const char* sourceName, const char* destinationName,
    const std::filesystem::path& sourcePath, const std::filesystem::path& destinationPath)
{
    struct stat status {};
    if (::fstatat(sourceFolder, sourceName, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return readError(sourcePath);
    std::string target(static_cast<size_t>(status.st_size > 0 ? status.st_size : 64) + 1, '\0');
    while (true) {
        ssize_t length = ::readlinkat(sourceFolder, sourceName, target.data(), target.size());
        if (length < 0)
            return readError(sourcePath);
        if (static_cast<size_t>(length) < target.size()) {
            target.resize(static_cast<size_t>(length));
            break;
        }
        target.resize(target.size() * 2);
    }
    if (::symlinkat(target.c_str(), destinationFolder, destinationName) != 0)
        return writeError(destinationPath);
    struct timespec times[2] = {status.st_atim, status.st_mtim};
    if (::utimensat(destinationFolder, destinationName, times, AT_SYMLINK_NOFOLLOW) != 0)
        return writeError(destinationPath);
    return {};
}

} // namespace tavik
