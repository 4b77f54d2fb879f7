#pragma once

#include "platform/foundation/FileWriting.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tavik::hdiutil {

// Device and inode: what makes two paths the same file.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
    // Throws std::runtime_error when the path cannot be examined.
    static FileIdentity of(const std::filesystem::path& path);
};

// One image laid out at one mount point.
struct Attachment {
    std::string imagePath;
    FileIdentity image;
    std::string mountPoint;
    FileIdentity mountPointIdentity;
    int diskNumber = 0;
    // Set while the attach is still under way, so that a second attach of the
    // same image is refused before the first one has finished.
    pid_t attachingProcess = 0;
    // Names of the entries placed directly in the mount point.
    std::vector<std::string> entries;

    std::string serialized() const;
    static std::optional<Attachment> parse(const std::string& text);
};

// The attachments of this user, kept as one small file per mount point in a
// private folder outside every mount point: $XDG_RUNTIME_DIR/tavik-hdiutil, or
// $TMPDIR (else /tmp)/tavik-hdiutil-<uid>.
class AttachmentRegistry {
public:
    // Finds or creates the folder; refuses one that is not private to us.
    static AttachmentRegistry openDefault();
    explicit AttachmentRegistry(std::filesystem::path folder);

    // An exclusive lock over the whole registry, released on destruction.
    FileLock lock() const;

    // The attachments that still hold; records whose mount point is gone or
    // empty, or whose attaching process died, are dropped. Call under the lock.
    std::vector<Attachment> live() const;
    void store(const Attachment& attachment) const;
    void remove(const FileIdentity& mountPoint) const;

    const std::filesystem::path& folder() const { return folder_; }

private:
    std::filesystem::path recordPath(const FileIdentity& mountPoint) const;
    std::filesystem::path folder_;
};

} // namespace tavik::hdiutil
