#include "tar/TarArchive.hpp"

#include "platform/filemanager/SpaceBudget.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/TypeIdentifier.hpp"
#include "zip/ConfinedTree.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <array>
#include <span>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik::tar {

std::string TarError::description() const
{
    switch (errorCode()) {
    case TarErrorCode::unreadableArchive:
        return "The file is not a readable tar archive";
    case TarErrorCode::unsupportedEntryType:
        return "The archive holds a device, FIFO or socket entry";
    case TarErrorCode::invalidEntryPath:
        return "The archive entry's path leads outside the folder it is extracted to";
    case TarErrorCode::exceedsSpaceBudget:
        return "The archive holds more than the free disk space allows";
    case TarErrorCode::tooManyEntries:
        return "The archive holds too many entries";
    }
    return "Unknown tar archive error";
}

namespace {

struct ArchiveCloser {
    void operator()(archive* reader) const { archive_read_free(reader); }
};
using Reader = std::unique_ptr<archive, ArchiveCloser>;

Result<Reader> openReader(const URL& url)
{
    Reader reader(archive_read_new());
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_filter_xz(reader.get());
    archive_read_support_filter_bzip2(reader.get());
    archive_read_support_filter_zstd(reader.get());
    archive_read_support_format_tar(reader.get());
    if (archive_read_open_filename(reader.get(), url.path().c_str(), 64 * 1024) != ARCHIVE_OK)
        return TarError::make(TarErrorCode::unreadableArchive, url.path().string());
    return reader;
}

std::string storedPath(const char* path)
{
    std::string text = path ? path : "";
    while (text.starts_with("./"))
        text.erase(0, 2);
    return text;
}

TarEntry describe(archive_entry* header)
{
    TarEntry entry;
    entry.path = storedPath(archive_entry_pathname(header));
    entry.mode = archive_entry_perm(header);
    entry.size = static_cast<std::uint64_t>(std::max<la_int64_t>(archive_entry_size(header), 0));
    if (const char* target = archive_entry_hardlink(header)) {
        entry.type = TarEntry::Type::hardlink;
        entry.linkTarget = storedPath(target);
        return entry;
    }
    switch (archive_entry_filetype(header)) {
    case AE_IFREG:
        entry.type = TarEntry::Type::file;
        break;
    case AE_IFDIR:
        entry.type = TarEntry::Type::directory;
        break;
    case AE_IFLNK:
        entry.type = TarEntry::Type::symlink;
        if (const char* target = archive_entry_symlink(header))
            entry.linkTarget = target;
        break;
    default:
        entry.type = TarEntry::Type::special;
        break;
    }
    return entry;
}

// Reads the first bytes of the current entry's data (fewer for a short entry).
std::size_t readHeaderBytes(archive* reader, std::span<unsigned char> buffer)
{
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        la_ssize_t count = archive_read_data(reader, buffer.data() + filled, buffer.size() - filled);
        if (count <= 0)
            break;
        filled += static_cast<std::size_t>(count);
    }
    return filled;
}

ErrorPtr invalidPath(const std::string& path)
{
    return TarError::make(TarErrorCode::invalidEntryPath, path);
}

// The folder at these components, created when missing, never reached
// through a link.
Result<int> folderAt(zip::ConfinedTree& tree, std::span<const std::string> components, const std::string& entryPath)
{
    auto folder = tree.directory(components, entryPath);
    if (!folder && zip::ArchiveError::is(folder.error(), zip::ArchiveError::Code::invalidEntryPath))
        return invalidPath(entryPath);
    return folder;
}

// Writes the current entry's data into a new file in `folder`: never through
// a link, never onto an existing item, never past the recorded size.
Result<std::uint64_t> writeFile(archive* reader, int folder, const std::string& name, const TarEntry& entry,
    const std::filesystem::path& path)
{
    // Only the owner's permission bits and read/execute for others: nothing
    // set-id, nothing group- or world-writable.
    int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, entry.mode & 0755);
    if (fd < 0)
        return FileError::fromErrno(errno, path, false);
    std::array<char, 64 * 1024> buffer;
    std::uint64_t written = 0;
    Result<std::uint64_t> result = std::uint64_t {0};
    for (;;) {
        la_ssize_t count = archive_read_data(reader, buffer.data(), buffer.size());
        if (count == 0)
            break;
        if (count < 0) {
            result = TarError::make(TarErrorCode::unreadableArchive, entry.path);
            break;
        }
        written += static_cast<std::uint64_t>(count);
        if (written > entry.size) {
            result = TarError::make(TarErrorCode::exceedsSpaceBudget, entry.path);
            break;
        }
        for (la_ssize_t done = 0; done < count;) {
            ssize_t part = ::write(fd, buffer.data() + done, static_cast<std::size_t>(count - done));
            if (part < 0 && errno == EINTR)
                continue;
            if (part < 0) {
                result = FileError::fromErrno(errno, path, false);
                break;
            }
            done += part;
        }
        if (!result)
            break;
    }
    ::close(fd);
    if (!result)
        return result;
    return written;
}

Result<void> makeHardLink(zip::ConfinedTree& tree, int folder, const std::string& name, const TarEntry& entry,
    const std::filesystem::path& path)
{
    auto targetComponents = TarArchive::components(entry.linkTarget);
    if (!targetComponents || targetComponents->empty())
        return invalidPath(entry.path);
    std::vector<std::string> targetFolder(targetComponents->begin(), targetComponents->end() - 1);
    // The tree's descriptors are valid until its next call: keep this one.
    int linkFolder = ::dup(folder);
    if (linkFolder < 0)
        return FileError::fromErrno(errno, path, false);
    auto targetFd = folderAt(tree, targetFolder, entry.path);
    if (!targetFd) {
        ::close(linkFolder);
        return targetFd.error();
    }
    struct stat status {};
    Result<void> result;
    if (::fstatat(*targetFd, targetComponents->back().c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode))
        result = invalidPath(entry.path);
    else if (::linkat(*targetFd, targetComponents->back().c_str(), linkFolder, name.c_str(), 0) != 0)
        result = FileError::fromErrno(errno, path, false);
    ::close(linkFolder);
    return result;
}

} // namespace

Result<std::vector<std::string>> TarArchive::components(const std::string& entryPath)
{
    auto components = zip::ConfinedTree::components(entryPath);
    if (!components)
        return invalidPath(entryPath);
    return components;
}

Result<std::vector<TarEntry>> TarArchive::list(const URL& url, std::uint64_t decompressedLimit)
{
    auto reader = TAVIK_TRY(openReader(url));
    std::vector<TarEntry> entries;
    archive_entry* header = nullptr;
    int status;
    while ((status = archive_read_next_header(reader.get(), &header)) == ARCHIVE_OK || status == ARCHIVE_WARN) {
        if (entries.size() == maximumEntries)
            return TarError::make(TarErrorCode::tooManyEntries, url.path().string());
        auto entry = describe(header);
        if (entry.type == TarEntry::Type::file && entry.size > 10) {
            std::array<unsigned char, 16> bytes {};
            auto length = readHeaderBytes(reader.get(), bytes);
            entry.isAppImage = appImageType(std::span(bytes.data(), length)) != 0;
        }
        entries.push_back(std::move(entry));
        // Read the data rather than letting the next header skip it, so that
        // the decompressed bytes are counted as they come.
        const void* block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        int read;
        while ((read = archive_read_data_block(reader.get(), &block, &size, &offset)) == ARCHIVE_OK) {
            if (static_cast<std::uint64_t>(archive_filter_bytes(reader.get(), 0)) > decompressedLimit)
                return TarError::make(TarErrorCode::exceedsSpaceBudget, url.path().string());
        }
        if (read != ARCHIVE_EOF)
            return TarError::make(TarErrorCode::unreadableArchive, url.path().string());
        if (static_cast<std::uint64_t>(archive_filter_bytes(reader.get(), 0)) > decompressedLimit)
            return TarError::make(TarErrorCode::exceedsSpaceBudget, url.path().string());
    }
    if (status != ARCHIVE_EOF)
        return TarError::make(TarErrorCode::unreadableArchive, url.path().string());
    return entries;
}

Result<void> TarArchive::extract(const URL& url, const URL& root, const std::function<bool(const TarEntry&)>& selected)
{
    auto reader = TAVIK_TRY(openReader(url));
    auto tree = TAVIK_TRY(zip::ConfinedTree::open(root));
    auto budget = TAVIK_TRY(SpaceBudget::forFolder(root.path()));
    std::uint64_t written = 0;

    archive_entry* header = nullptr;
    int status;
    while ((status = archive_read_next_header(reader.get(), &header)) == ARCHIVE_OK || status == ARCHIVE_WARN) {
        auto entry = describe(header);
        if (!selected(entry))
            continue;
        if (entry.type == TarEntry::Type::special)
            return TarError::make(TarErrorCode::unsupportedEntryType, entry.path);
        auto components = TAVIK_TRY(TarArchive::components(entry.path));
        if (components.empty())
            continue;
        if (entry.type == TarEntry::Type::directory) {
            TAVIK_TRY_VOID(folderAt(tree, components, entry.path));
            continue;
        }
        std::vector<std::string> parent(components.begin(), components.end() - 1);
        auto folder = TAVIK_TRY(folderAt(tree, parent, entry.path));
        const auto& name = components.back();
        auto path = tree.pathOf(components);
        switch (entry.type) {
        case TarEntry::Type::file: {
            if (!budget.allows(written + entry.size))
                return TarError::make(TarErrorCode::exceedsSpaceBudget, entry.path);
            written += TAVIK_TRY(writeFile(reader.get(), folder, name, entry, path));
            break;
        }
        case TarEntry::Type::symlink:
            // The link is made, never followed: later entries cannot pass
            // through it (see ConfinedTree), and files are created O_EXCL.
            if (::symlinkat(entry.linkTarget.c_str(), folder, name.c_str()) != 0)
                return FileError::fromErrno(errno, path, false);
            break;
        case TarEntry::Type::hardlink:
            TAVIK_TRY_VOID(makeHardLink(tree, folder, name, entry, path));
            break;
        case TarEntry::Type::directory:
        case TarEntry::Type::special:
            break;
        }
    }
    if (status != ARCHIVE_EOF)
        return TarError::make(TarErrorCode::unreadableArchive, url.path().string());
    return {};
}

} // namespace tavik::tar
