#include "platform/filemanager/FileManager.hpp"

#include "platform/filemanager/ItemCopier.hpp"
#include "platform/foundation/FileDescriptor.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/trash/Trash.hpp"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tavik {

namespace {

namespace fs = std::filesystem;

bool itemExists(const fs::path& path)
{
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// Renames without ever replacing what is at the destination.
int renameNoReplace(const fs::path& from, const fs::path& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    // A file system without the flag: check, then rename.
    if (itemExists(to)) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from.c_str(), to.c_str());
}

Result<void> removeContents(int folder, const fs::path& path)
{
    struct stat status {};
    // A read-only folder cannot be emptied until it is writable again.
    if (::fstat(folder, &status) == 0 && (status.st_mode & 0700) != 0700)
        ::fchmod(folder, (status.st_mode & 07777) | 0700);

    int listed = ::dup(folder);
    DIR* directory = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!directory) {
        if (listed >= 0)
            ::close(listed);
        return FileError::fromErrno(errno, path, true);
    }
    std::vector<std::pair<std::string, bool>> entries;
    while (dirent* entry = ::readdir(directory)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat entryStatus {};
            isDirectory = ::fstatat(folder, entry->d_name, &entryStatus, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(entryStatus.st_mode);
        }
        entries.emplace_back(name, isDirectory);
    }
    ::closedir(directory);

    for (const auto& [name, isDirectory] : entries) {
        if (isDirectory) {
            FileDescriptor child(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!child.valid())
                return FileError::fromErrno(errno, path / name, true);
            TAVIK_TRY_VOID(removeContents(child.get(), path / name));
        }
        if (::unlinkat(folder, name.c_str(), isDirectory ? AT_REMOVEDIR : 0) != 0)
            return FileError::fromErrno(errno, path / name, true);
    }
    return {};
}

Result<void> removeTree(const fs::path& path)
{
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0)
        return FileError::fromErrno(errno, path, true);
    if (!S_ISDIR(status.st_mode)) {
        if (::unlink(path.c_str()) != 0)
            return FileError::fromErrno(errno, path, true);
        return {};
    }
    {
        FileDescriptor folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.valid())
            return FileError::fromErrno(errno, path, true);
        TAVIK_TRY_VOID(removeContents(folder.get(), path));
    }
    if (::rmdir(path.c_str()) != 0)
        return FileError::fromErrno(errno, path, true);
    return {};
}

// Takes from a tree what a copy would not keep, so that renaming it gives
// what copying it would. False where a rename cannot: a file with other hard
// links (a copy stands alone), a device or socket, an entry it cannot read.
bool makeLikeCopy(int folder, const char* name)
{
    struct stat status {};
    if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    mode_t type = status.st_mode & S_IFMT;
    if (type == S_IFLNK)
        return true;
    if (type != S_IFREG && type != S_IFDIR && type != S_IFIFO)
        return false;
    if (type == S_IFREG && status.st_nlink > 1)
        return false;
    mode_t kept = status.st_mode & 01755;
    if ((status.st_mode & 07777) != kept && ::fchmodat(folder, name, kept, 0) != 0)
        return false;
    if (type != S_IFDIR)
        return true;

    int child = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* directory = child >= 0 ? ::fdopendir(child) : nullptr;
    if (!directory) {
        if (child >= 0)
            ::close(child);
        return false;
    }
    bool made = true;
    while (dirent* entry = made ? ::readdir(directory) : nullptr) {
        std::string_view entryName = entry->d_name;
        if (entryName != "." && entryName != "..")
            made = makeLikeCopy(::dirfd(directory), entry->d_name);
    }
    ::closedir(directory);
    return made;
}

bool isInside(const fs::path& candidate, const fs::path& folder)
{
    std::error_code error;
    auto inner = fs::weakly_canonical(candidate, error);
    if (error)
        return false;
    auto outer = fs::weakly_canonical(folder, error);
    if (error)
        return false;
    auto [outerEnd, innerEnd] = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
    return outerEnd == outer.end();
}

} // namespace

std::shared_ptr<FileManager> FileManager::defaultManager()
{
    static const auto manager = std::make_shared<FileManager>();
    return manager;
}

bool FileManager::fileExists(const URL& url) const
{
    return itemExists(url.path());
}

Result<void> FileManager::copyItem(const URL& source, const URL& destination)
{
    const auto& from = source.path();
    const auto& to = destination.path();
    struct stat status {};
    if (::lstat(from.c_str(), &status) != 0)
        return FileError::fromErrno(errno, from, false);
    if (itemExists(to))
        return FileError::make(FileError::Code::fileWriteFileExists, to, EEXIST);
    if (S_ISDIR(status.st_mode) && isInside(to, from))
        return FileError::make(FileError::Code::fileWriteUnknown, to, EINVAL);

    // Build the copy under a hidden name beside its destination and rename
    // it into place at the end, so that no half copy is ever seen there and
    // a copy that lost a race never merges into the winner's.
    auto temporary = to.parent_path() / ("." + to.filename().string() + ".tavik-copy-" + UUID().uuidString().substr(0, 8));
    ItemCopier copier(to);
    if (auto copied = copier.copy(from, temporary); !copied) {
        (void)removeTree(temporary);
        return copied;
    }
    if (renameNoReplace(temporary, to) != 0) {
        int error = errno;
        (void)removeTree(temporary);
        return FileError::fromErrno(error, to, true);
    }
    return {};
}

Result<void> FileManager::moveItem(const URL& source, const URL& destination)
{
    const auto& from = source.path();
    const auto& to = destination.path();
    if (!itemExists(from))
        return FileError::fromErrno(errno, from, false);
    if (renameNoReplace(from, to) == 0)
        return {};
    if (errno != EXDEV)
        return FileError::fromErrno(errno, errno == EEXIST ? to : from, true);
    // Another file system: copy, then remove the original.
    if (auto copied = copyItem(source, destination); !copied)
        return copied;
    return removeTree(from);
}

Result<void> FileManager::moveOwnItem(const URL& source, const URL& destination)
{
    const auto& from = source.path();
    const auto& to = destination.path();
    if (itemExists(to))
        return FileError::make(FileError::Code::fileWriteFileExists, to, EEXIST);
    if (makeLikeCopy(AT_FDCWD, from.c_str())) {
        if (renameNoReplace(from, to) == 0)
            return {};
        if (errno == EEXIST)
            return FileError::make(FileError::Code::fileWriteFileExists, to, EEXIST);
    }
    // Whatever kept the rename from working, the copy reports its own errors.
    return copyItem(source, destination);
}

Result<std::optional<URL>> FileManager::trashItem(const URL& url)
{
    return tavik::trashItem(url);
}

Result<void> FileManager::createDirectory(const URL& url, bool withIntermediateDirectories)
{
    const auto& path = url.path();
    if (!withIntermediateDirectories) {
        if (::mkdir(path.c_str(), 0777) != 0)
            return FileError::fromErrno(errno, path, true);
        return {};
    }
    fs::path partial;
    for (const auto& component : path) {
        partial /= component;
        if (::mkdir(partial.c_str(), 0777) == 0)
            continue;
        if (errno != EEXIST)
            return FileError::fromErrno(errno, partial, true);
        struct stat status {};
        if (::stat(partial.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
            return FileError::make(FileError::Code::fileWriteFileExists, partial, EEXIST);
    }
    return {};
}

Result<void> FileManager::removeItem(const URL& url)
{
    return removeTree(url.path());
}

Result<std::unique_ptr<DirectoryEnumerator>> FileManager::enumerator(
    const URL& url, DirectoryEnumerator::Options options, DirectoryEnumerator::ErrorHandler errorHandler)
{
    return DirectoryEnumerator::make(url, options, std::move(errorHandler));
}

} // namespace tavik
