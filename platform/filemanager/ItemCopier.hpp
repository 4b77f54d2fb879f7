#pragma once

#include "platform/foundation/Result.hpp"

#include <filesystem>
#include <sys/stat.h>
#include <vector>

namespace tavik {

// Copies one item (a file, a symbolic link as a link, or a whole folder
// tree) to a path where nothing is yet. Keeps permission bits (without
// set-user-ID and set-group-ID, and without write access for group and
// others), access and modification times and extended
// attributes (not security or trusted ones). File contents are cloned (reflink) where the file system
// allows, else copied inside the kernel, else read and written.
//
// `shownDestination` is the path errors name for `destination` (the copy may
// be made under a temporary name first).
class ItemCopier {
public:
    ItemCopier(std::filesystem::path shownDestination);
    Result<void> copy(const std::filesystem::path& source, const std::filesystem::path& destination);

private:
    // `type` is the S_IFMT part of the mode, or 0 when not yet known.
    Result<void> copyEntry(int sourceFolder, int destinationFolder, const char* sourceName, const char* destinationName,
        mode_t type, const std::filesystem::path& sourcePath, const std::filesystem::path& destinationPath);
    Result<void> copyFile(int sourceFolder, int destinationFolder, const char* sourceName, const char* destinationName,
        const std::filesystem::path& sourcePath, const std::filesystem::path& destinationPath);
    Result<void> copyFolder(int sourceFolder, int destinationFolder, const char* sourceName, const char* destinationName,
        const std::filesystem::path& sourcePath, const std::filesystem::path& destinationPath);
    Result<void> copyLink(int sourceFolder, int destinationFolder, const char* sourceName, const char* destinationName,
        const std::filesystem::path& sourcePath, const std::filesystem::path& destinationPath);
    Result<void> copyContents(int input, int output, const struct stat& status,
        const std::filesystem::path& sourcePath, const std::filesystem::path& destinationPath);
    // Gives the copy the source's kept mode, extended attributes and times.
    Result<void> keepAttributes(int input, int output, const struct stat& status,
        const std::filesystem::path& destinationPath);

    ErrorPtr readError(const std::filesystem::path& path) const;
    ErrorPtr writeError(const std::filesystem::path& path) const;
    ErrorPtr writeError(const std::filesystem::path& path, int error) const;

    std::filesystem::path destinationRoot_;
    std::filesystem::path shownDestination_;
    bool cloneWorks_ = true;
    bool kernelCopyWorks_ = true;
    std::vector<char> buffer_;
};

} // namespace tavik
