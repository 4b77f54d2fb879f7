#include "hdiutil/AttachmentRegistry.hpp"

#include "platform/foundation/FileError.hpp"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tavik::hdiutil {
namespace {

constexpr std::string_view recordMagic = "tavik-hdiutil-attachment-1";
constexpr std::string_view recordExtension = ".attachment";

std::runtime_error systemError(const std::string& what, int error)
{
    return std::runtime_error(what + ": " + std::strerror(error));
}

template <typename Number>
std::optional<Number> parseNumber(const std::string& text)
{
    Number value {};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool isUsableBase(const char* value)
{
    if (!value || value[0] != '/') return false;
    struct stat info {};
    return lstat(value, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid();
}

void ensurePrivateFolder(const fs::path& folder)
{
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        throw systemError("cannot create " + folder.string(), errno);
    }
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0) throw systemError("cannot examine " + folder.string(), errno);
    if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
        throw std::runtime_error("refusing to keep attachments in " + folder.string() + ": not a private folder of this user");
    }
}

bool processRuns(pid_t pid)
{
    return kill(pid, 0) == 0 || errno == EPERM;
}

bool stillHolds(const Attachment& attachment)
{
    if (attachment.attachingProcess != 0) return processRuns(attachment.attachingProcess);
    struct stat info {};
    if (lstat(attachment.mountPoint.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    if (FileIdentity {info.st_dev, info.st_ino} != attachment.mountPointIdentity) return false;
    std::error_code error;
    return !fs::is_empty(attachment.mountPoint, error) && !error;
}

} // namespace

FileIdentity FileIdentity::of(const fs::path& path)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) throw systemError(path.string(), errno);
    return {info.st_dev, info.st_ino};
}

std::string Attachment::serialized() const
{
    std::string text;
    auto field = [&text](std::string_view value) {
        text.append(value);
        text.push_back('\0');
    };
    field(recordMagic);
    field(imagePath);
    field(std::to_string(image.device));
    field(std::to_string(image.inode));
    field(mountPoint);
    field(std::to_string(mountPointIdentity.device));
    field(std::to_string(mountPointIdentity.inode));
    field(std::to_string(diskNumber));
    field(std::to_string(attachingProcess));
    for (const auto& entry : entries) field(entry);
    return text;
}

std::optional<Attachment> Attachment::parse(const std::string& text)
{
    std::vector<std::string> fields;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\0', start);
        if (end == std::string::npos) return std::nullopt;
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (fields.size() < 9 || fields[0] != recordMagic) return std::nullopt;
    auto imageDevice = parseNumber<dev_t>(fields[2]);
    auto imageInode = parseNumber<ino_t>(fields[3]);
    auto mountDevice = parseNumber<dev_t>(fields[5]);
    auto mountInode = parseNumber<ino_t>(fields[6]);
    auto disk = parseNumber<int>(fields[7]);
    auto pid = parseNumber<pid_t>(fields[8]);
    if (!imageDevice || !imageInode || !mountDevice || !mountInode || !disk || !pid) return std::nullopt;
    Attachment attachment;
    attachment.imagePath = fields[1];
    attachment.image = {*imageDevice, *imageInode};
    attachment.mountPoint = fields[4];
    attachment.mountPointIdentity = {*mountDevice, *mountInode};
    attachment.diskNumber = *disk;
    attachment.attachingProcess = *pid;
    attachment.entries.assign(fields.begin() + 9, fields.end());
    return attachment;
}

AttachmentRegistry::AttachmentRegistry(fs::path folder)
    : folder_(std::move(folder))
{
    ensurePrivateFolder(folder_);
}

AttachmentRegistry AttachmentRegistry::openDefault()
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); isUsableBase(runtime)) {
        return AttachmentRegistry(fs::path(runtime) / "tavik-hdiutil");
    }
    const char* temporary = std::getenv("TMPDIR");
    fs::path base = (temporary && temporary[0] == '/') ? temporary : "/tmp";
    return AttachmentRegistry(base / ("tavik-hdiutil-" + std::to_string(geteuid())));
}

FileLock AttachmentRegistry::lock() const
{
    auto path = folder_ / "lock";
    auto acquired = FileLock::acquire(path);
    if (!acquired) throw systemError("cannot lock " + path.string(), errnoOf(acquired.error()));
    return std::move(*acquired);
}

fs::path AttachmentRegistry::recordPath(const FileIdentity& mountPoint) const
{
    return folder_ / (std::to_string(mountPoint.device) + "-" + std::to_string(mountPoint.inode) + std::string(recordExtension));
}

std::vector<Attachment> AttachmentRegistry::live() const
{
    std::vector<Attachment> result;
    for (const auto& item : fs::directory_iterator(folder_)) {
        if (item.path().extension() != recordExtension || !item.is_regular_file()) continue;
        std::ifstream stream(item.path(), std::ios::binary);
        std::stringstream content;
        content << stream.rdbuf();
        auto attachment = Attachment::parse(content.str());
        if (attachment && stillHolds(*attachment)) {
            result.push_back(std::move(*attachment));
        } else {
            std::error_code ignored;
            fs::remove(item.path(), ignored);
        }
    }
    return result;
}

void AttachmentRegistry::store(const Attachment& attachment) const
{
    auto path = recordPath(attachment.mountPointIdentity);
    auto temporary = path;
    temporary += ".new";
    {
        std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
        stream << attachment.serialized();
        stream.flush();
        if (!stream) throw std::runtime_error("cannot write " + temporary.string());
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) throw systemError("cannot write " + path.string(), errno);
}

void AttachmentRegistry::remove(const FileIdentity& mountPoint) const
{
    std::error_code ignored;
    fs::remove(recordPath(mountPoint), ignored);
}

} // namespace tavik::hdiutil
