#pragma once

#include "platform/filemanager/DirectoryEnumerator.hpp"
#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"

#include <memory>
#include <optional>

namespace tavik {

// The file operations the rest of the system needs, over the real file
// system. Every failure is a FileError naming the item it concerns. Tests
// of code that uses a file manager may derive from it and override what
// they need to control.
class FileManager {
public:
    virtual ~FileManager() = default;

    // The process's shared file manager.
    static std::shared_ptr<FileManager> defaultManager();

    // Whether there is an item at the path; a symbolic link counts as an
    // item even when what it points to is missing.
    virtual bool fileExists(const URL& url) const;

    // Copies a file, a symbolic link (as a link) or a whole folder tree such
    // as an application bundle, keeping modes, links and times. Fails with
    // fileWriteFileExists, touching nothing, when there is already an item
    // at the destination. The copy appears at the destination complete or
    // not at all.
    virtual Result<void> copyItem(const URL& source, const URL& destination);

    // Moves an item, across file systems too. Fails with fileWriteFileExists
    // when there is already an item at the destination.
    virtual Result<void> moveItem(const URL& source, const URL& destination);

    // Puts an item this process made in its own working folder where
    // copyItem would put its copy, with the same result: never replacing,
    // modes without set-user-ID, set-group-ID and group or world write, links
    // and times kept. Renames where it can, which empties the source; where a
    // rename cannot give a copy's result (another file system, a file with
    // other hard links, a device) it copies and leaves the source.
    virtual Result<void> moveOwnItem(const URL& source, const URL& destination);

    // Moves the item to the user's trash; answers where it went, if known.
    virtual Result<std::optional<URL>> trashItem(const URL& url);

    // Makes a folder with the user's default permissions. With intermediate
    // folders, missing parents are made too and an existing folder is fine;
    // without, the parent must exist and the folder must not.
    virtual Result<void> createDirectory(const URL& url, bool withIntermediateDirectories);

    // Removes a file, a link (not what it points to) or a folder with all it
    // holds, read-only folders included.
    virtual Result<void> removeItem(const URL& url);

    // A walk over the folder's tree; fails when the folder cannot be read.
    virtual Result<std::unique_ptr<DirectoryEnumerator>> enumerator(
        const URL& url, DirectoryEnumerator::Options options, DirectoryEnumerator::ErrorHandler errorHandler = {});
};

} // namespace tavik
