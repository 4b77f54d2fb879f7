#include "platform/filemanager/DirectoryEnumerator.hpp"

#include "platform/foundation/FileError.hpp"
#include "platform/foundation/TypeIdentifier.hpp"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik {

DirectoryEnumerator::DirectoryEnumerator(Options options, ErrorHandler errorHandler)
    : options_(options)
    , errorHandler_(std::move(errorHandler))
{
}

Result<std::unique_ptr<DirectoryEnumerator>> DirectoryEnumerator::make(const URL& directory, Options options, ErrorHandler errorHandler)
{
    std::unique_ptr<DirectoryEnumerator> enumerator(new DirectoryEnumerator(options, std::move(errorHandler)));
    // The starting folder may itself be reached through a link.
    auto root = enumerator->read(directory.path(), true);
    if (!root)
        return root.error();
    enumerator->stack_.push_back(std::move(root).value());
    return enumerator;
}

Result<DirectoryEnumerator::Folder> DirectoryEnumerator::read(const std::filesystem::path& path, bool followLink) const
{
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    int fd = ::open(path.c_str(), flags);
    if (fd < 0)
        return FileError::fromErrno(errno, path, false);
    DIR* directory = ::fdopendir(fd);
    if (!directory) {
        int error = errno;
        ::close(fd);
        return FileError::fromErrno(error, path, false);
    }

    Folder folder {path, {}, 0};
    errno = 0;
    while (dirent* entry = ::readdir(directory)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if ((options_ & skipsHiddenFiles) && name.front() == '.')
            continue;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat status {};
            isDirectory = ::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode);
        }
        folder.entries.push_back({std::string(name), isDirectory});
    }
    int error = errno;
    ::closedir(directory);
    if (error != 0)
        return FileError::fromErrno(error, path, false);

    std::sort(folder.entries.begin(), folder.entries.end(),
        [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return folder;
}

void DirectoryEnumerator::skipDescendants()
{
    pendingFolder_.reset();
}

std::optional<URL> DirectoryEnumerator::nextObject()
{
    if (stopped_)
        return std::nullopt;

    if (pendingFolder_) {
        auto path = std::move(*pendingFolder_);
        pendingFolder_.reset();
        auto folder = read(path, false);
        if (folder) {
            stack_.push_back(std::move(folder).value());
        } else if (errorHandler_ && !errorHandler_(URL::fileURL(path, true), folder.error())) {
            stopped_ = true;
            stack_.clear();
            return std::nullopt;
        }
    }

    while (!stack_.empty()) {
        auto& folder = stack_.back();
        if (folder.next == folder.entries.size()) {
            stack_.pop_back();
            continue;
        }
        const auto& entry = folder.entries[folder.next++];
        auto path = folder.path / entry.name;
        level_ = stack_.size();
        bool descend = entry.isDirectory && !((options_ & skipsPackageDescendants) && isPackage(entry.name, true));
        if (descend)
            pendingFolder_ = path;
        return URL::fileURL(path, entry.isDirectory);
    }
    return std::nullopt;
}

} // namespace tavik
