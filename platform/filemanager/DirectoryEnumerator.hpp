#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavik {

// Walks a folder tree depth first, one item at a time, in name order within
// each folder. Symbolic links are reported as items and never followed, so
// the walk stays inside the tree and cannot loop.
class DirectoryEnumerator {
public:
    enum Option : unsigned {
        // Leave out items whose names start with a dot, and what is in them.
        skipsHiddenFiles = 1u << 0,
        // Report packages (application bundles, plug-ins...) but not their insides.
        skipsPackageDescendants = 1u << 1,
    };
    using Options = unsigned;
    // Told about a folder that could not be read; answers whether to go on
    // with the rest of the walk. Without a handler the walk goes on.
    using ErrorHandler = std::function<bool(const URL& url, const ErrorPtr& error)>;

    // Fails (with a FileError) when the folder itself cannot be read.
    static Result<std::unique_ptr<DirectoryEnumerator>> make(const URL& directory, Options options, ErrorHandler errorHandler = {});

    // The next item, or nothing once the walk is over or was stopped.
    std::optional<URL> nextObject();
    // Do not go into the folder that nextObject returned last.
    void skipDescendants();
    // How deep the item nextObject returned last lies: 1 for the folder's own items.
    size_t level() const { return level_; }

private:
    struct Entry {
        std::string name;
        bool isDirectory;
    };
    struct Folder {
        std::filesystem::path path;
        std::vector<Entry> entries;
        size_t next = 0;
    };

    DirectoryEnumerator(Options options, ErrorHandler errorHandler);
    Result<Folder> read(const std::filesystem::path& path, bool followLink) const;

    Options options_;
    ErrorHandler errorHandler_;
    std::vector<Folder> stack_;
    std::optional<std::filesystem::path> pendingFolder_;
    size_t level_ = 0;
    bool stopped_ = false;
};

} // namespace tavik
