#pragma once

#include "platform/foundation/FileDescriptor.hpp"
#include "platform/foundation/Result.hpp"

#include <filesystem>
#include <string_view>
#include <sys/types.h>

namespace tavik {

// Writes every byte, resuming after short writes and interruptions. A
// failure is a FileError about `path`.
Result<void> writeAll(int descriptor, std::string_view bytes, const std::filesystem::path& path);

// Replaces the file at `path` with these bytes and mode: written beside it
// under a hidden temporary name, flushed, then renamed over it, so a reader
// sees the old file or the new one and a link at `path` is replaced, never
// followed. The temporary file is removed again on failure.
Result<void> replaceFile(const std::filesystem::path& path, std::string_view bytes, mode_t mode);

// Makes a rename or removal in the folder durable.
Result<void> fsyncFolder(const std::filesystem::path& folder);

// An exclusive cross-process lock (flock) on a lock file, created 0600 when
// missing (never through a symbolic link), held until the FileLock goes.
class FileLock {
public:
    // Waits until the lock is ours.
    static Result<FileLock> acquire(const std::filesystem::path& lockFile);

    FileLock(FileLock&&) noexcept = default;
    FileLock& operator=(FileLock&&) noexcept;
    ~FileLock();

private:
    explicit FileLock(FileDescriptor descriptor)
        : descriptor_(std::move(descriptor))
    {
    }
    void unlock();

    FileDescriptor descriptor_;
};

} // namespace tavik
