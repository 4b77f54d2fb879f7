#pragma once

#include "platform/foundation/Result.hpp"
#include "zip/Errors.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tavik::appimage {

enum class AppImageErrorCode {
    notAnAppImage,
    // The embedded file system is missing or damaged.
    unreadableFileSystem,
    noSuchItem,
    // Larger than the caller allows, or more links than are followed.
    itemTooLarge,
};

class AppImageError final : public zip::PathCodedError<AppImageError, AppImageErrorCode> {
public:
    using PathCodedError::PathCodedError;
    std::string description() const override;
    std::string domain() const override { return "app.tavik.appimage.AppImageError"; }
};

// An AppImage's embedded file system, read without running the AppImage:
// the squashfs image after the ELF runtime (type 2, through libsquashfs) or
// the ISO 9660 image around it (type 1, through libarchive).
class AppImageFile {
public:
    static Result<AppImageFile> open(const std::filesystem::path& path);
    ~AppImageFile();
    AppImageFile(AppImageFile&&) noexcept;
    AppImageFile& operator=(AppImageFile&&) = delete;

    int type() const { return type_; }

    // The names in the file system's top folder.
    Result<std::vector<std::string>> topLevelNames();

    // The bytes of the regular file at this path inside the image, following
    // symbolic links inside the image; itemTooLarge past maxBytes.
    Result<std::string> readFile(const std::string& path, std::size_t maxBytes);

    struct Reader;

private:
    AppImageFile(int type, std::unique_ptr<Reader> reader);
    int type_;
    std::unique_ptr<Reader> reader_;
};

} // namespace tavik::appimage
