#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace tavik {

// A bookmark remembers a file or folder so that it can be found again after
// it was renamed or moved. Its bytes are a small binary property list holding
// the path, the device, the inode, the birth time and the kernel's file handle.
// Creating a bookmark twice for the same file at the same path gives the same
// bytes, so the bytes also serve as the file's identity.
enum class BookmarkCreationOptions : unsigned {
    none = 0,
    withSecurityScope = 1,
};

enum class BookmarkResolutionOptions : unsigned {
    none = 0,
    withSecurityScope = 1,
    withoutUI = 2,
};

struct ResolvedBookmark {
    URL url;
    // The file was found somewhere other than where the bookmark says: make
    // a new bookmark of `url` and keep that instead.
    bool isStale = false;
};

// Fails with the FileError of looking at the file (for a missing file, one
// with the code fileReadNoSuchFile that names its path).
Result<std::vector<uint8_t>> bookmarkData(const URL& url, BookmarkCreationOptions options = BookmarkCreationOptions::none);

// Finds the bookmarked file: at its path when the same file is still there,
// else through its file handle, else among the entries of its old parent
// folder, else (if something of the same kind now stands at its path) at
// its path; the last three report the bookmark as stale. A file that is
// nowhere fails with a FileError fileNoSuchFile naming the remembered path;
// bytes that are no bookmark fail with bookmarkDataCorrupt().
Result<ResolvedBookmark> resolveBookmarkData(std::span<const uint8_t> data,
    BookmarkResolutionOptions options = BookmarkResolutionOptions::none);

// The error for bytes that are not a bookmark.
ErrorPtr bookmarkDataCorrupt();

// Security-scoped access needs no grant on this platform; starting reports
// that access was started, stopping does nothing.
bool startAccessingSecurityScopedResource(const URL& url);
void stopAccessingSecurityScopedResource(const URL& url);

namespace bookmark_detail {

// The steps of resolution, exposed so that each can be checked on its own
// (the file-handle step needs CAP_DAC_READ_SEARCH and is skipped without it).
struct Identity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool isDirectory = false;
    std::optional<int64_t> birthSeconds;
    std::optional<uint32_t> birthNanoseconds;
    std::optional<std::vector<uint8_t>> fileHandle; // handle type (4 bytes) then the handle
};

std::optional<Identity> identityOfPath(const std::filesystem::path& path);
bool isSameFile(const Identity& remembered, const Identity& current);
std::optional<std::filesystem::path> findThroughFileHandle(const std::filesystem::path& rememberedPath, const Identity& remembered);
std::optional<std::filesystem::path> findInParentFolder(const std::filesystem::path& rememberedPath, const Identity& remembered);

} // namespace bookmark_detail

} // namespace tavik
