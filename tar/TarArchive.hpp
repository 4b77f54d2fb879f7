#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"
#include "zip/Errors.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavik::tar {

enum class TarErrorCode {
    unreadableArchive,
    // A device, FIFO or socket entry: never made.
    unsupportedEntryType,
    // An absolute path, a ".." component, or a hard link whose target is not
    // an entry path inside the folder.
    invalidEntryPath,
    // More content than the folder's space budget allows.
    exceedsSpaceBudget,
    tooManyEntries,
};

class TarError final : public zip::PathCodedError<TarError, TarErrorCode> {
public:
    using PathCodedError::PathCodedError;
    std::string description() const override;
    std::string domain() const override { return "app.tavik.tar.TarError"; }
};

struct TarEntry {
    enum class Type {
        file,
        directory,
        symlink,
        hardlink,
        special, // device, FIFO, socket
    };
    std::string path; // as stored, a leading "./" removed
    Type type = Type::file;
    std::uint64_t size = 0;
    unsigned mode = 0;
    std::string linkTarget; // symbolic link text, or a hard link's entry path
    bool isAppImage = false; // a regular file whose content carries the AppImage magic
};

// A tar archive, plain or compressed (gzip, xz, bzip2, zstd), read through
// libarchive. Streams have no index: every call reads the archive from the
// start.
class TarArchive {
public:
    // At most this many entries are listed.
    static constexpr std::size_t maximumEntries = 100000;

    // The entries in archive order. The archive's decompressed bytes are
    // bounded by `decompressedLimit`, so a compression bomb is not read to
    // its end.
    static Result<std::vector<TarEntry>> list(const URL& archive, std::uint64_t decompressedLimit);

    // Extracts the entries for which `selected` holds under `root`, never
    // writing outside it: no absolute or ".." path, no write through a
    // symbolic link, hard links only to entries inside root, no device or
    // FIFO entries. Their recorded sizes together must fit the space budget of
    // root's file system, and no file grows past its recorded size.
    static Result<void> extract(const URL& archive, const URL& root, const std::function<bool(const TarEntry&)>& selected);

    // The entry path's components as extraction uses them (invalidEntryPath
    // for an absolute path, ".." or a NUL byte).
    static Result<std::vector<std::string>> components(const std::string& entryPath);
};

} // namespace tavik::tar
