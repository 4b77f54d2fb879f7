#include "Tavik/folder-watching/FolderListing.hpp"

#include "platform/foundation/FileDescriptor.hpp"
#include "platform/foundation/FileError.hpp"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tavik {

namespace {

// The record getdents64 fills in; glibc 2.36 has no wrapper for it.
struct DirectoryRecord {
    uint64_t inode;
    int64_t offset;
    unsigned short length;
    unsigned char type;
    char name[];
};

FolderEntry::Kind kindOf(unsigned char type)
{
    switch (type) {
    case DT_REG:
        return FolderEntry::Kind::file;
    case DT_DIR:
        return FolderEntry::Kind::directory;
    case DT_LNK:
        return FolderEntry::Kind::symbolicLink;
    case DT_UNKNOWN:
        return FolderEntry::Kind::unknown;
    default:
        return FolderEntry::Kind::other;
    }
}

} // namespace

Result<std::vector<FolderEntry>> listFolder(const std::filesystem::path& folder)
{
    FileDescriptor descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!descriptor.valid())
        return FileError::fromErrno(errno, folder, false);

    std::vector<FolderEntry> entries;
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        long length = ::syscall(SYS_getdents64, descriptor.get(), buffer.data(), buffer.size());
        if (length < 0)
            return FileError::fromErrno(errno, folder, false);
        if (length == 0)
            break;
        for (long offset = 0; offset < length;) {
            const auto* record = reinterpret_cast<const DirectoryRecord*>(buffer.data() + offset);
            offset += record->length;
            const char* name = record->name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            entries.push_back(FolderEntry {name, static_cast<int64_t>(record->inode), kindOf(record->type)});
        }
    }
    return entries;
}

} // namespace tavik
