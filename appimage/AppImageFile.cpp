#include "appimage/AppImageFile.hpp"

#include "platform/foundation/FileError.hpp"
#include "platform/foundation/TypeIdentifier.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <sqfs/compressor.h>
#include <sqfs/data_reader.h>
#include <sqfs/dir.h>
#include <sqfs/dir_reader.h>
#include <sqfs/error.h>
#include <sqfs/inode.h>
#include <sqfs/io.h>
#include <sqfs/super.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <span>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <variant>

namespace tavik::appimage {

std::string AppImageError::description() const
{
    switch (errorCode()) {
    case AppImageErrorCode::notAnAppImage:
        return "The file is not an AppImage";
    case AppImageErrorCode::unreadableFileSystem:
        return "The AppImage's embedded file system cannot be read";
    case AppImageErrorCode::noSuchItem:
        return "The AppImage holds no such file";
    case AppImageErrorCode::itemTooLarge:
        return "The file in the AppImage is too large";
    }
    return "Unknown AppImage error";
}

namespace {

constexpr std::size_t maximumLinkTarget = 4096;
constexpr std::size_t maximumTopLevelNames = 10000;
constexpr int maximumLinkHops = 8;

ErrorPtr fail(AppImageErrorCode code, std::string path = {})
{
    return AppImageError::make(code, std::move(path));
}

// A file entry's bytes, or a symbolic link's target.
struct Link {
    std::string target;
};
using Item = std::variant<std::string, Link>;

// Where the squashfs image starts in a type 2 AppImage: right after the ELF
// runtime, whose section header table is its last part.
std::optional<std::uint64_t> elfEnd(std::span<const unsigned char> header)
{
    if (header.size() < 64 || header[5] != 1) // little-endian only, as the runtimes are
        return std::nullopt;
    auto number = [&](std::size_t offset, std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::size_t index = bytes; index > 0; --index)
            value = (value << 8) | header[offset + index - 1];
        return value;
    };
    if (header[4] == 2)
        return number(0x28, 8) + number(0x3A, 2) * number(0x3C, 2);
    if (header[4] == 1)
        return number(0x20, 4) + number(0x2E, 2) * number(0x30, 2);
    return std::nullopt;
}

} // namespace

struct AppImageFile::Reader {
    virtual ~Reader() = default;
    virtual Result<std::vector<std::string>> topLevelNames() = 0;
    virtual Result<Item> item(const std::string& path, std::size_t maxBytes) = 0;
};

namespace {

// The squashfs image, read from an offset into the AppImage.
class SquashfsReader final : public AppImageFile::Reader {
public:
    static Result<std::unique_ptr<SquashfsReader>> open(int fd, std::uint64_t base, std::uint64_t fileSize)
    {
        std::unique_ptr<SquashfsReader> reader(new SquashfsReader(fd, base, fileSize));
        if (base >= fileSize || sqfs_super_read(&reader->super_, &reader->file_.file) != 0)
            return fail(AppImageErrorCode::unreadableFileSystem);
        sqfs_compressor_config_t configuration;
        if (sqfs_compressor_config_init(&configuration, static_cast<SQFS_COMPRESSOR>(reader->super_.compression_id),
                reader->super_.block_size, SQFS_COMP_FLAG_UNCOMPRESS)
                != 0
            || sqfs_compressor_create(&configuration, &reader->compressor_) != 0)
            return fail(AppImageErrorCode::unreadableFileSystem);
        reader->directories_ = sqfs_dir_reader_create(&reader->super_, reader->compressor_, &reader->file_.file, 0);
        reader->data_ = sqfs_data_reader_create(&reader->file_.file, reader->super_.block_size, reader->compressor_, 0);
        if (!reader->directories_ || !reader->data_ || sqfs_data_reader_load_fragment_table(reader->data_, &reader->super_) != 0)
            return fail(AppImageErrorCode::unreadableFileSystem);
        return reader;
    }

    ~SquashfsReader() override
    {
        sqfs_destroy(data_);
        sqfs_destroy(directories_);
        sqfs_destroy(compressor_);
        ::close(file_.fd);
    }

    Result<std::vector<std::string>> topLevelNames() override
    {
        sqfs_inode_generic_t* root = nullptr;
        if (sqfs_dir_reader_get_root_inode(directories_, &root) != 0)
            return fail(AppImageErrorCode::unreadableFileSystem);
        int opened = sqfs_dir_reader_open_dir(directories_, root, 0);
        sqfs_free(root);
        if (opened != 0)
            return fail(AppImageErrorCode::unreadableFileSystem);
        std::vector<std::string> names;
        sqfs_dir_entry_t* entry = nullptr;
        int status;
        while (names.size() < maximumTopLevelNames && (status = sqfs_dir_reader_read(directories_, &entry)) == 0) {
            names.emplace_back(reinterpret_cast<const char*>(entry->name), std::size_t(entry->size) + 1);
            sqfs_free(entry);
        }
        return names;
    }

    Result<Item> item(const std::string& path, std::size_t maxBytes) override
    {
        sqfs_inode_generic_t* inode = nullptr;
        if (sqfs_dir_reader_find_by_path(directories_, nullptr, path.c_str(), &inode) != 0)
            return fail(AppImageErrorCode::noSuchItem, path);
        std::unique_ptr<sqfs_inode_generic_t, void (*)(void*)> owned(inode, sqfs_free);
        switch (inode->base.type) {
        case SQFS_INODE_SLINK:
        case SQFS_INODE_EXT_SLINK: {
            std::size_t size = inode->base.type == SQFS_INODE_SLINK ? inode->data.slink.target_size : inode->data.slink_ext.target_size;
            if (size > maximumLinkTarget || size > inode->payload_bytes_used)
                return fail(AppImageErrorCode::itemTooLarge, path);
            return Item(Link {std::string(reinterpret_cast<const char*>(inode->extra), size)});
        }
        case SQFS_INODE_FILE:
        case SQFS_INODE_EXT_FILE: {
            sqfs_u64 size = 0;
            if (sqfs_inode_get_file_size(inode, &size) != 0)
                return fail(AppImageErrorCode::unreadableFileSystem, path);
            if (size > maxBytes)
                return fail(AppImageErrorCode::itemTooLarge, path);
            std::string bytes(size, '\0');
            for (sqfs_u64 offset = 0; offset < size;) {
                auto count = sqfs_data_reader_read(data_, inode, offset, bytes.data() + offset, static_cast<sqfs_u32>(size - offset));
                if (count <= 0)
                    return fail(AppImageErrorCode::unreadableFileSystem, path);
                offset += static_cast<sqfs_u64>(count);
            }
            return Item(std::move(bytes));
        }
        default:
            return fail(AppImageErrorCode::noSuchItem, path);
        }
    }

private:
    // libsquashfs reads through this: the AppImage file, shifted by the
    // runtime's length.
    struct OffsetFile {
        sqfs_file_t file;
        int fd;
        std::uint64_t base;
        std::uint64_t size;
    };

    SquashfsReader(int fd, std::uint64_t base, std::uint64_t fileSize)
    {
        std::memset(&file_, 0, sizeof file_);
        file_.fd = fd;
        file_.base = base;
        file_.size = fileSize;
        file_.file.base.destroy = [](sqfs_object_t*) {};
        file_.file.base.copy = [](const sqfs_object_t*) -> sqfs_object_t* { return nullptr; };
        file_.file.read_at = [](sqfs_file_t* file, sqfs_u64 offset, void* buffer, std::size_t size) -> int {
            auto* self = reinterpret_cast<OffsetFile*>(file);
            if (offset > self->size - self->base || size > self->size - self->base - offset)
                return SQFS_ERROR_OUT_OF_BOUNDS;
            auto* bytes = static_cast<char*>(buffer);
            while (size > 0) {
                ssize_t count = ::pread(self->fd, bytes, size, static_cast<off_t>(self->base + offset));
                if (count < 0 && errno == EINTR)
                    continue;
                if (count <= 0)
                    return SQFS_ERROR_IO;
                bytes += count;
                offset += static_cast<sqfs_u64>(count);
                size -= static_cast<std::size_t>(count);
            }
            return 0;
        };
        file_.file.write_at = [](sqfs_file_t*, sqfs_u64, const void*, std::size_t) -> int { return SQFS_ERROR_UNSUPPORTED; };
        file_.file.get_size = [](const sqfs_file_t* file) -> sqfs_u64 {
            auto* self = reinterpret_cast<const OffsetFile*>(file);
            return self->size - self->base;
        };
        file_.file.truncate = [](sqfs_file_t*, sqfs_u64) -> int { return SQFS_ERROR_UNSUPPORTED; };
    }

    OffsetFile file_;
    sqfs_super_t super_ {};
    sqfs_compressor_t* compressor_ = nullptr;
    sqfs_dir_reader_t* directories_ = nullptr;
    sqfs_data_reader_t* data_ = nullptr;
};

// The ISO 9660 image of a type 1 AppImage. It has no index we keep: each
// look-up reads the image's entries from the start.
class ISOReader final : public AppImageFile::Reader {
public:
    explicit ISOReader(std::filesystem::path path)
        : path_(std::move(path))
    {
    }

    Result<std::vector<std::string>> topLevelNames() override
    {
        std::vector<std::string> names;
        TAVIK_TRY_VOID(walk([&](archive*, archive_entry*, const std::string& path) {
            if (!path.empty() && path.find('/') == std::string::npos && names.size() < maximumTopLevelNames)
                names.push_back(path);
            return false;
        }));
        return names;
    }

    Result<Item> item(const std::string& wanted, std::size_t maxBytes) override
    {
        std::optional<Result<Item>> found;
        TAVIK_TRY_VOID(walk([&](archive* reader, archive_entry* entry, const std::string& path) {
            if (path != wanted)
                return false;
            if (archive_entry_filetype(entry) == AE_IFLNK) {
                const char* target = archive_entry_symlink(entry);
                found = Item(Link {target ? target : ""});
            } else if (archive_entry_filetype(entry) != AE_IFREG) {
                found = Result<Item>(fail(AppImageErrorCode::noSuchItem, wanted));
            } else if (archive_entry_size(entry) < 0 || std::uint64_t(archive_entry_size(entry)) > maxBytes) {
                found = Result<Item>(fail(AppImageErrorCode::itemTooLarge, wanted));
            } else {
                std::string bytes(std::size_t(archive_entry_size(entry)), '\0');
                auto count = archive_read_data(reader, bytes.data(), bytes.size());
                if (count < 0 || std::size_t(count) != bytes.size())
                    found = Result<Item>(fail(AppImageErrorCode::unreadableFileSystem, wanted));
                else
                    found = Item(std::move(bytes));
            }
            return true;
        }));
        if (!found)
            return fail(AppImageErrorCode::noSuchItem, wanted);
        return std::move(*found);
    }

private:
    // Calls visit with each entry's path (no leading "./" or trailing "/")
    // until it answers true.
    template <class Visit>
    Result<void> walk(Visit&& visit)
    {
        std::unique_ptr<archive, int (*)(archive*)> reader(archive_read_new(), archive_read_free);
        archive_read_support_format_iso9660(reader.get());
        if (archive_read_open_filename(reader.get(), path_.c_str(), 64 * 1024) != ARCHIVE_OK)
            return fail(AppImageErrorCode::unreadableFileSystem);
        archive_entry* entry = nullptr;
        int status;
        while ((status = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK || status == ARCHIVE_WARN) {
            std::string path = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
            while (path.starts_with("./"))
                path.erase(0, 2);
            while (path.ends_with("/"))
                path.pop_back();
            if (visit(reader.get(), entry, path))
                return {};
        }
        if (status != ARCHIVE_EOF)
            return fail(AppImageErrorCode::unreadableFileSystem);
        return {};
    }

    std::filesystem::path path_;
};

// The path a link at `linkPath` leads to, inside the image; none for an
// absolute target or one that climbs above the image's top.
std::optional<std::string> resolveLink(const std::string& linkPath, const std::string& target)
{
    if (target.empty() || target.front() == '/')
        return std::nullopt;
    std::vector<std::string> parts;
    auto slash = linkPath.rfind('/');
    std::string combined = (slash == std::string::npos ? "" : linkPath.substr(0, slash + 1)) + target;
    std::size_t start = 0;
    while (start <= combined.size()) {
        auto end = combined.find('/', start);
        if (end == std::string::npos)
            end = combined.size();
        std::string part = combined.substr(start, end - start);
        if (part == "..") {
            if (parts.empty())
                return std::nullopt;
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        start = end + 1;
    }
    std::string resolved;
    for (const auto& part : parts)
        resolved += (resolved.empty() ? "" : "/") + part;
    return resolved;
}

} // namespace

AppImageFile::AppImageFile(int type, std::unique_ptr<Reader> reader)
    : type_(type)
    , reader_(std::move(reader))
{
}

AppImageFile::~AppImageFile() = default;
AppImageFile::AppImageFile(AppImageFile&&) noexcept = default;

Result<AppImageFile> AppImageFile::open(const std::filesystem::path& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return FileError::fromErrno(errno, path, false);
    struct stat status {};
    std::array<unsigned char, 64> header {};
    ssize_t length = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? ::pread(fd, header.data(), header.size(), 0) : -1;
    int type = length > 0 ? appImageType(std::span(header.data(), std::size_t(length))) : 0;
    if (type == 0) {
        ::close(fd);
        return fail(AppImageErrorCode::notAnAppImage, path.string());
    }
    if (type == 1) {
        ::close(fd);
        return AppImageFile(1, std::make_unique<ISOReader>(path));
    }
    auto start = elfEnd(std::span(header.data(), std::size_t(length)));
    if (!start) {
        ::close(fd);
        return fail(AppImageErrorCode::unreadableFileSystem, path.string());
    }
    // The reader owns the descriptor from here on, whatever happens.
    auto reader = SquashfsReader::open(fd, *start, std::uint64_t(status.st_size));
    if (!reader)
        return reader.error();
    return AppImageFile(2, std::move(*reader));
}

Result<std::vector<std::string>> AppImageFile::topLevelNames()
{
    return reader_->topLevelNames();
}

Result<std::string> AppImageFile::readFile(const std::string& path, std::size_t maxBytes)
{
    std::string current = path;
    for (int hop = 0; hop <= maximumLinkHops; ++hop) {
        auto item = TAVIK_TRY(reader_->item(current, maxBytes));
        if (auto* bytes = std::get_if<std::string>(&item))
            return std::move(*bytes);
        auto next = resolveLink(current, std::get<Link>(item).target);
        if (!next)
            return fail(AppImageErrorCode::noSuchItem, path);
        current = *next;
    }
    return fail(AppImageErrorCode::itemTooLarge, path);
}

} // namespace tavik::appimage
