#include "disk-image-service/BusyImageCopies.hpp"

#include "disk-image-service/TemporaryFiles.hpp"
#include "platform/foundation/FileError.hpp"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sys/stat.h>

namespace tavik::service {

namespace {

constexpr const char* recordName = "mount-point";

std::optional<std::string> recordIn(const std::filesystem::path& copyFolder)
{
    std::ifstream stream(copyFolder / recordName, std::ios::binary);
    if (!stream)
        return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    return text;
}

std::string recordFor(const std::filesystem::path& mountPoint)
{
    return std::filesystem::absolute(mountPoint).lexically_normal().string();
}

} // namespace

BusyImageCopies::BusyImageCopies(std::filesystem::path temporaryFolder)
    : folder_(std::move(temporaryFolder) / "busy-copies")
{
}

Result<std::filesystem::path> BusyImageCopies::make(const std::filesystem::path& image,
    const std::filesystem::path& mountPoint)
{
    if (mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST)
        return FileError::fromErrno(errno, folder_, true);
    std::string pattern = (folder_ / "copy-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return FileError::fromErrno(errno, folder_, true);
    const std::filesystem::path copyFolder = pattern;
    {
        std::ofstream record(copyFolder / recordName, std::ios::binary);
        record << recordFor(mountPoint);
        if (!record.flush()) {
            std::error_code ignored;
            std::filesystem::remove_all(copyFolder, ignored);
            return FileError::fromErrno(EIO, copyFolder / recordName, true);
        }
    }
    auto copy = copyFolder / image.filename();
    if (auto copied = copyItem(image, copy); !copied) {
        std::error_code ignored;
        std::filesystem::remove_all(copyFolder, ignored);
        return copied.error();
    }
    return copy;
}

void BusyImageCopies::discard(const std::filesystem::path& copy)
{
    if (copy.parent_path().parent_path() != folder_)
        return;
    std::error_code ignored;
    std::filesystem::remove_all(copy.parent_path(), ignored);
}

template <typename Wanted>
void BusyImageCopies::removeCopies(Wanted wanted)
{
    std::error_code error;
    std::filesystem::directory_iterator entries(folder_, error);
    if (error)
        return;
    for (const auto& entry : entries) {
        if (!entry.is_directory(error) || entry.is_symlink(error))
            continue;
        if (wanted(recordIn(entry.path())))
            std::filesystem::remove_all(entry.path(), error);
    }
}

void BusyImageCopies::mountPointDetached(const std::filesystem::path& mountPoint)
{
    const auto detached = recordFor(mountPoint);
    removeCopies([&](const std::optional<std::string>& record) { return record == detached; });
}

void BusyImageCopies::removeLeftovers()
{
    removeCopies([](const std::optional<std::string>& record) {
        std::error_code error;
        // A copy without a record never got attached.
        return !record || !std::filesystem::is_directory(*record, error) || std::filesystem::is_empty(*record, error);
    });
}

} // namespace tavik::service
