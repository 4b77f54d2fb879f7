#include "platform/foundation/Bookmark.hpp"

#include "platform/foundation/FileDescriptor.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/plist/PropertyList.hpp"

#include <plist/plist.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace tavik {

namespace fs = std::filesystem;
using bookmark_detail::Identity;

namespace {

constexpr uint64_t bookmarkVersion = 1;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

uint64_t deviceNumber(const struct statx& status)
{
    return makedev(status.stx_dev_major, status.stx_dev_minor);
}

Identity identityFromStatus(const struct statx& status)
{
    Identity identity;
    identity.device = deviceNumber(status);
    identity.inode = status.stx_ino;
    identity.isDirectory = S_ISDIR(status.stx_mode);
    if (status.stx_mask & STATX_BTIME) {
        identity.birthSeconds = status.stx_btime.tv_sec;
        identity.birthNanoseconds = status.stx_btime.tv_nsec;
    }
    return identity;
}

std::optional<std::vector<uint8_t>> fileHandleOf(int directoryFd, const char* name, int flags)
{
    std::vector<unsigned char> buffer(sizeof(struct file_handle) + MAX_HANDLE_SZ);
    auto* handle = reinterpret_cast<struct file_handle*>(buffer.data());
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    if (::name_to_handle_at(directoryFd, name, handle, &mountId, flags) != 0)
        return std::nullopt; // not every file system gives handles
    std::vector<uint8_t> bytes(4 + handle->handle_bytes);
    uint32_t type = static_cast<uint32_t>(handle->handle_type);
    std::memcpy(bytes.data(), &type, 4);
    std::memcpy(bytes.data() + 4, handle->f_handle, handle->handle_bytes);
    return bytes;
}

std::optional<Identity> identityAt(int directoryFd, const char* name, int statFlags, int* errorOut = nullptr)
{
    struct statx status {};
    if (::statx(directoryFd, name, statFlags, STATX_BASIC_STATS | STATX_BTIME, &status) != 0) {
        if (errorOut)
            *errorOut = errno;
        return std::nullopt;
    }
    auto identity = identityFromStatus(status);
    int handleFlags = (statFlags & AT_SYMLINK_NOFOLLOW) ? 0 : AT_SYMLINK_FOLLOW;
    identity.fileHandle = fileHandleOf(directoryFd, name, handleFlags);
    return identity;
}

// The path as the bookmark keeps it: absolute, without "." or ".." or a
// trailing slash, so that one file at one path always gives the same bytes.
fs::path canonicalForm(const fs::path& path)
{
    auto clean = (path.is_absolute() ? path : fs::absolute(path)).lexically_normal();
    if (clean.has_relative_path() && !clean.has_filename())
        clean = clean.parent_path();
    return clean;
}

void setUnsigned(plist_t dict, const char* key, uint64_t value)
{
    plist_dict_set_item(dict, key, plist_new_uint(value));
}

std::optional<uint64_t> unsignedValue(const plist::PropertyList& dict, const char* key)
{
    const plist::PropertyList* value = dict.find(key);
    auto number = value ? value->integer() : std::nullopt;
    if (!number || *number < 0)
        return std::nullopt;
    return static_cast<uint64_t>(*number);
}

struct DecodedBookmark {
    fs::path path;
    Identity identity;
};

std::optional<DecodedBookmark> decode(std::span<const uint8_t> data)
{
    if (data.size() < 8 || data.size() > 64 * 1024 || std::memcmp(data.data(), "bplist00", 8) != 0)
        return std::nullopt;
    auto parsed = plist::PropertyList::parse(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    if (!parsed || parsed->kind() != plist::PropertyList::Kind::dictionary)
        return std::nullopt;
    const plist::PropertyList& root = *parsed;
    auto version = unsignedValue(root, "Version");
    const plist::PropertyList* pathValue = root.find("Path");
    const std::string* path = pathValue ? pathValue->string() : nullptr;
    auto device = unsignedValue(root, "Device");
    auto inode = unsignedValue(root, "Inode");
    const plist::PropertyList* directoryValue = root.find("IsDirectory");
    auto isDirectory = directoryValue ? directoryValue->boolean() : std::nullopt;
    if (!version || *version != bookmarkVersion || !path || !device || !inode || !isDirectory)
        return std::nullopt;
    fs::path rememberedPath(*path);
    if (!rememberedPath.is_absolute())
        return std::nullopt;
    DecodedBookmark decoded {rememberedPath, {}};
    decoded.identity.device = *device;
    decoded.identity.inode = *inode;
    decoded.identity.isDirectory = *isDirectory;
    auto birthSeconds = unsignedValue(root, "BirthTime");
    auto birthNanoseconds = unsignedValue(root, "BirthTimeNanoseconds");
    if (birthSeconds && birthNanoseconds) {
        decoded.identity.birthSeconds = static_cast<int64_t>(*birthSeconds);
        decoded.identity.birthNanoseconds = static_cast<uint32_t>(*birthNanoseconds);
    }
    if (const plist::PropertyList* handle = root.find("FileHandle"); handle && handle->data())
        decoded.identity.fileHandle = *handle->data();
    return decoded;
}

// An open descriptor of the deepest folder of `path` that still exists on
// the remembered device; open_by_handle_at needs one on the same file system.
FileDescriptor openExistingAncestor(const fs::path& path, uint64_t device)
{
    for (auto folder = path.parent_path();; folder = folder.parent_path()) {
        FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd.valid()) {
            struct statx status {};
            if (::statx(fd.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &status) == 0 && deviceNumber(status) == device)
                return fd;
        }
        if (folder == folder.root_path() || folder.empty())
            return FileDescriptor(-1);
    }
}

} // namespace

ErrorPtr bookmarkDataCorrupt()
{
    return GenericError::make("NSCocoaErrorDomain", 259, "The file couldn’t be opened because it isn’t in the correct format.");
}

namespace bookmark_detail {

std::optional<Identity> identityOfPath(const fs::path& path)
{
    return identityAt(AT_FDCWD, path.c_str(), 0);
}

bool isSameFile(const Identity& remembered, const Identity& current)
{
    if (remembered.device != current.device || remembered.inode != current.inode)
        return false;
    // An inode number can be given to a new file once the old one is deleted;
    // the birth time and the handle (which carries the inode's generation)
    // tell the two apart.
    if (remembered.birthSeconds && current.birthSeconds
        && (*remembered.birthSeconds != *current.birthSeconds || remembered.birthNanoseconds != current.birthNanoseconds))
        return false;
    if (remembered.fileHandle && current.fileHandle && *remembered.fileHandle != *current.fileHandle)
        return false;
    return true;
}

std::optional<fs::path> findThroughFileHandle(const fs::path& rememberedPath, const Identity& remembered)
{
    if (!remembered.fileHandle || remembered.fileHandle->size() < 4 || remembered.fileHandle->size() > 4 + MAX_HANDLE_SZ)
        return std::nullopt;
    auto mountFd = openExistingAncestor(rememberedPath, remembered.device);
    if (!mountFd.valid())
        return std::nullopt;
    const auto& bytes = *remembered.fileHandle;
    std::vector<unsigned char> buffer(sizeof(struct file_handle) + MAX_HANDLE_SZ);
    auto* handle = reinterpret_cast<struct file_handle*>(buffer.data());
    uint32_t type = 0;
    std::memcpy(&type, bytes.data(), 4);
    handle->handle_type = static_cast<int>(type);
    handle->handle_bytes = static_cast<unsigned>(bytes.size() - 4);
    std::memcpy(handle->f_handle, bytes.data() + 4, bytes.size() - 4);
    // Needs CAP_DAC_READ_SEARCH; without it this step finds nothing.
    FileDescriptor found(::open_by_handle_at(mountFd.get(), handle, O_PATH | O_CLOEXEC));
    if (!found.valid())
        return std::nullopt;
    std::string procPath = "/proc/self/fd/" + std::to_string(found.get());
    std::error_code error;
    auto target = fs::read_symlink(procPath, error);
    if (error || !target.is_absolute())
        return std::nullopt;
    auto current = identityOfPath(target);
    if (!current || !isSameFile(remembered, *current))
        return std::nullopt; // deleted, or the name no longer leads to it
    return target;
}

std::optional<fs::path> findInParentFolder(const fs::path& rememberedPath, const Identity& remembered)
{
    FileDescriptor folderFd(::open(rememberedPath.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.valid())
        return std::nullopt;
    int listFd = ::dup(folderFd.get());
    if (listFd < 0)
        return std::nullopt;
    DIR* listing = ::fdopendir(listFd);
    if (!listing) {
        ::close(listFd);
        return std::nullopt;
    }
    std::optional<fs::path> result;
    while (auto* entry = ::readdir(listing)) {
        if (entry->d_ino != remembered.inode)
            continue;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        auto current = identityAt(folderFd.get(), entry->d_name, AT_SYMLINK_NOFOLLOW);
        if (current && isSameFile(remembered, *current)) {
            result = rememberedPath.parent_path() / entry->d_name;
            break;
        }
    }
    ::closedir(listing);
    return result;
}

} // namespace bookmark_detail

Result<std::vector<uint8_t>> bookmarkData(const URL& url, BookmarkCreationOptions options)
{
    auto path = canonicalForm(url.path());
    int error = 0;
    auto identity = identityAt(AT_FDCWD, path.c_str(), 0, &error);
    if (!identity)
        return FileError::fromErrno(error, path, false);

    // Written by libplist, whose key order identity bytes already stored in
    // the handled and ignored lists have: they are compared byte for byte.
    PlistPtr root(plist_new_dict());
    setUnsigned(root.get(), "Version", bookmarkVersion);
    plist_dict_set_item(root.get(), "Path", plist_new_string(path.c_str()));
    plist_dict_set_item(root.get(), "IsDirectory", plist_new_bool(identity->isDirectory));
    setUnsigned(root.get(), "Device", identity->device);
    setUnsigned(root.get(), "Inode", identity->inode);
    if (identity->birthSeconds) {
        setUnsigned(root.get(), "BirthTime", static_cast<uint64_t>(*identity->birthSeconds));
        setUnsigned(root.get(), "BirthTimeNanoseconds", *identity->birthNanoseconds);
    }
    if (identity->fileHandle)
        plist_dict_set_item(root.get(), "FileHandle",
            plist_new_data(reinterpret_cast<const char*>(identity->fileHandle->data()), identity->fileHandle->size()));
    if (options == BookmarkCreationOptions::withSecurityScope)
        plist_dict_set_item(root.get(), "SecurityScope", plist_new_bool(1));

    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root.get(), &bytes, &length);
    if (!bytes)
        return FileError::make(FileError::Code::fileReadUnknown, path);
    std::vector<uint8_t> data(bytes, bytes + length);
    plist_to_bin_free(bytes);
    return data;
}

Result<ResolvedBookmark> resolveBookmarkData(std::span<const uint8_t> data, BookmarkResolutionOptions)
{
    using namespace bookmark_detail;
    auto decoded = decode(data);
    if (!decoded)
        return bookmarkDataCorrupt();
    const auto& remembered = decoded->identity;
    const auto& path = decoded->path;

    auto atPath = identityOfPath(path);
    if (atPath && isSameFile(remembered, *atPath))
        return ResolvedBookmark {URL::fileURL(path, atPath->isDirectory), false};

    auto moved = findThroughFileHandle(path, remembered);
    if (!moved)
        moved = findInParentFolder(path, remembered);
    if (moved) {
        auto current = identityOfPath(*moved);
        return ResolvedBookmark {URL::fileURL(*moved, current ? current->isDirectory : remembered.isDirectory), true};
    }

    // The file itself is gone, but one of the same kind took its place (a
    // folder deleted and made anew): that is what the user means by it.
    if (atPath && atPath->isDirectory == remembered.isDirectory)
        return ResolvedBookmark {URL::fileURL(path, atPath->isDirectory), true};

    return FileError::make(FileError::Code::fileNoSuchFile, path, ENOENT);
}

bool startAccessingSecurityScopedResource(const URL&)
{
    return true;
}

void stopAccessingSecurityScopedResource(const URL&)
{
}

} // namespace tavik
