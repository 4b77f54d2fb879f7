#include "zip/ConfinedTree.hpp"

#include "platform/foundation/FileError.hpp"
#include "zip/Errors.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tavik::zip {

ConfinedTree::ConfinedTree(int rootFd, std::filesystem::path rootPath, ExtractionJournal* journal)
    : rootFd_(rootFd)
    , rootPath_(std::move(rootPath))
    , journal_(journal)
{
}

ConfinedTree::~ConfinedTree()
{
    if (cachedFd_ >= 0)
        ::close(cachedFd_);
    if (rootFd_ >= 0)
        ::close(rootFd_);
}

ConfinedTree::ConfinedTree(ConfinedTree&& other) noexcept
    : rootFd_(std::exchange(other.rootFd_, -1))
    , rootPath_(std::move(other.rootPath_))
    , journal_(other.journal_)
    , cachedComponents_(std::move(other.cachedComponents_))
    , cachedFd_(std::exchange(other.cachedFd_, -1))
{
}

Result<ConfinedTree> ConfinedTree::open(const URL& root, ExtractionJournal* journal)
{
    std::error_code error;
    std::filesystem::create_directories(root.path(), error);
    if (error)
        return FileError::fromErrno(error.value(), root.path(), true);
    int fd = ::open(root.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return FileError::fromErrno(errno, root.path(), true);
    return ConfinedTree(fd, root.path(), journal);
}

Result<std::vector<std::string>> ConfinedTree::components(const std::string& entryPath)
{
    auto invalid = [&] { return ArchiveError::make(ArchiveError::Code::invalidEntryPath, entryPath); };
    if (entryPath.empty() || entryPath.front() == '/' || entryPath.find('\0') != std::string::npos)
        return invalid();
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= entryPath.size()) {
        size_t slash = entryPath.find('/', start);
        if (slash == std::string::npos)
            slash = entryPath.size();
        std::string part = entryPath.substr(start, slash - start);
        if (part == "..")
            return invalid();
        if (!part.empty() && part != ".")
            parts.push_back(std::move(part));
        start = slash + 1;
    }
    return parts;
}

std::filesystem::path ConfinedTree::pathOf(std::span<const std::string> components) const
{
    auto path = rootPath_;
    for (const auto& component : components)
        path /= component;
    return path;
}

void ConfinedTree::recordCreated(std::span<const std::string> components, bool isDirectory)
{
    if (journal_)
        journal_->recordCreated({components.begin(), components.end()}, isDirectory);
}

Result<int> ConfinedTree::openOrCreate(int parentFd, std::span<const std::string> components, const std::string& entryPath)
{
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const std::string& name = components.back();
    auto path = pathOf(components);
    int fd = ::openat(parentFd, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
        if (::mkdirat(parentFd, name.c_str(), 0755) == 0)
            recordCreated(components, true);
        else if (errno != EEXIST)
            return FileError::fromErrno(errno, path, true);
        fd = ::openat(parentFd, name.c_str(), flags);
    }
    if (fd >= 0)
        return fd;
    int openError = errno;
    struct stat status {};
    if (::fstatat(parentFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(status.st_mode))
            return ArchiveError::make(ArchiveError::Code::invalidEntryPath, entryPath);
        if (!S_ISDIR(status.st_mode))
            return FileError::make(FileError::Code::fileWriteFileExists, path, openError);
    }
    return FileError::fromErrno(openError, path, true);
}

Result<int> ConfinedTree::directory(std::span<const std::string> components, const std::string& entryPath)
{
    if (components.empty())
        return rootFd_;
    if (cachedFd_ >= 0 && std::equal(components.begin(), components.end(), cachedComponents_.begin(), cachedComponents_.end()))
        return cachedFd_;

    // Start from the cached folder when it is an ancestor, else from the root.
    int start = rootFd_;
    size_t index = 0;
    if (cachedFd_ >= 0 && cachedComponents_.size() < components.size()
        && std::equal(cachedComponents_.begin(), cachedComponents_.end(), components.begin())) {
        start = cachedFd_;
        index = cachedComponents_.size();
    }
    int current = start;
    for (; index < components.size(); ++index) {
        auto next = openOrCreate(current, components.first(index + 1), entryPath);
        if (current != start)
            ::close(current);
        if (!next)
            return next.error();
        current = *next;
    }
    if (cachedFd_ >= 0)
        ::close(cachedFd_);
    cachedFd_ = current;
    cachedComponents_.assign(components.begin(), components.end());
    return cachedFd_;
}

} // namespace tavik::zip
