#include "zip/ExtractionJournal.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik::zip {

namespace {

constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The folder holding the item, walked to from root without following links;
// -1 when it is gone or is not a folder any more.
int openParent(int rootFd, const std::vector<std::string>& components)
{
    int current = ::dup(rootFd);
    for (size_t index = 0; current >= 0 && index + 1 < components.size(); ++index) {
        int next = ::openat(current, components[index].c_str(), folderFlags);
        ::close(current);
        current = next;
    }
    return current;
}

bool removeItem(int parentFd, const std::string& name, bool isDirectory)
{
    int flags = isDirectory ? AT_REMOVEDIR : 0;
    if (::unlinkat(parentFd, name.c_str(), flags) == 0)
        return true;
    if (errno != EACCES && errno != EPERM)
        return false;
    // The entry's own permissions may have taken the write bit from a folder
    // this extraction made; give it back to take the item out.
    struct stat status {};
    if (::fstat(parentFd, &status) != 0 || ::fchmod(parentFd, (status.st_mode & 07777) | S_IRWXU) != 0)
        return false;
    return ::unlinkat(parentFd, name.c_str(), flags) == 0;
}

} // namespace

void ExtractionJournal::recordCreated(std::vector<std::string> components, bool isDirectory)
{
    if (!components.empty())
        items_.push_back({std::move(components), isDirectory});
}

void ExtractionJournal::removeCreated(const URL& root)
{
    int rootFd = ::open(root.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd >= 0) {
        for (auto item = items_.rbegin(); item != items_.rend(); ++item) {
            int parentFd = openParent(rootFd, item->components);
            if (parentFd < 0)
                continue;
            removeItem(parentFd, item->components.back(), item->isDirectory);
            ::close(parentFd);
        }
        ::close(rootFd);
    }
    items_.clear();
}

} // namespace tavik::zip
