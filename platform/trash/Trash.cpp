#include "platform/trash/Trash.hpp"

#include "platform/foundation/FileError.hpp"

#include <cerrno>
#include <dirent.h>
#include <gio/gio.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tavik {

namespace {

int errnoFor(const GError* error)
{
    if (error->domain != G_IO_ERROR)
        return EIO;
    switch (error->code) {
    case G_IO_ERROR_NOT_FOUND:
        return ENOENT;
    case G_IO_ERROR_PERMISSION_DENIED:
        return EACCES;
    case G_IO_ERROR_NO_SPACE:
        return ENOSPC;
    case G_IO_ERROR_NOT_SUPPORTED:
        return ENOTSUP;
    case G_IO_ERROR_READ_ONLY:
        return EROFS;
    case G_IO_ERROR_FILENAME_TOO_LONG:
        return ENAMETOOLONG;
    default:
        return EIO;
    }
}

// The top folder of the file system that holds `path`: the last ancestor on
// the same device.
std::filesystem::path mountTop(std::filesystem::path path, dev_t device)
{
    while (path.has_relative_path()) {
        auto parent = path.parent_path();
        struct stat status {};
        if (::stat(parent.c_str(), &status) != 0 || status.st_dev != device)
            break;
        path = parent;
    }
    return path;
}

// The trash folders the item may have gone to: the user's own, then those
// at the top of the item's file system.
std::vector<std::filesystem::path> trashFileFolders(const std::filesystem::path& original, dev_t device)
{
    std::vector<std::filesystem::path> folders;
    folders.push_back(std::filesystem::path(g_get_user_data_dir()) / "Trash" / "files");
    auto top = mountTop(original.parent_path(), device);
    auto uid = std::to_string(::getuid());
    folders.push_back(top / ".Trash" / uid / "files");
    folders.push_back(top / (".Trash-" + uid) / "files");
    return folders;
}

// Trashing renames the item, so it keeps its inode: look for that.
std::optional<std::filesystem::path> findTrashedItem(const std::filesystem::path& folder, dev_t device, ino_t inode)
{
    DIR* directory = ::opendir(folder.c_str());
    if (!directory)
        return std::nullopt;
    std::optional<std::filesystem::path> found;
    while (dirent* entry = ::readdir(directory)) {
        if (entry->d_ino != inode)
            continue;
        auto candidate = folder / entry->d_name;
        struct stat status {};
        if (::lstat(candidate.c_str(), &status) == 0 && status.st_dev == device && status.st_ino == inode) {
            found = candidate;
            break;
        }
    }
    ::closedir(directory);
    return found;
}

} // namespace

Result<std::optional<URL>> trashItem(const URL& url)
{
    const auto& path = url.path();
    struct stat before {};
    if (::lstat(path.c_str(), &before) != 0)
        return FileError::fromErrno(errno, path, true);

    GFile* file = g_file_new_for_path(path.c_str());
    GError* error = nullptr;
    gboolean trashed = g_file_trash(file, nullptr, &error);
    g_object_unref(file);
    if (!trashed) {
        int code = errnoFor(error);
        g_error_free(error);
        return FileError::fromErrno(code, path, true);
    }

    for (const auto& folder : trashFileFolders(path, before.st_dev)) {
        if (auto found = findTrashedItem(folder, before.st_dev, before.st_ino))
            return std::optional<URL>(URL::fileURL(*found, S_ISDIR(before.st_mode)));
    }
    return std::optional<URL>();
}

} // namespace tavik
