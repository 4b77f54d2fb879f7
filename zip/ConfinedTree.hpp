#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"

#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace tavik::zip {

// A folder that extraction may not leave. Items are reached component by
// component from the folder's own descriptor, never following a symbolic
// link, so neither ".." nor a link (planted by an earlier entry or already in
// the tree) can lead a write elsewhere.
class ConfinedTree {
public:
    // Opens root, creating it and its parents when missing.
    static Result<ConfinedTree> open(const URL& root);
    ~ConfinedTree();
    ConfinedTree(ConfinedTree&& other) noexcept;
    ConfinedTree& operator=(ConfinedTree&&) = delete;
    ConfinedTree(const ConfinedTree&) = delete;

    // The components of an entry path inside the tree ("." and empty ones
    // dropped); `invalidEntryPath` for an absolute path, a ".." component or
    // a NUL byte.
    static Result<std::vector<std::string>> components(const std::string& entryPath);

    // The descriptor of the folder at these components, created (with its
    // parents) when missing; owned by the tree and valid until the next call.
    Result<int> directory(std::span<const std::string> components, const std::string& entryPath);

    std::filesystem::path pathOf(std::span<const std::string> components) const;

private:
    ConfinedTree(int rootFd, std::filesystem::path rootPath);
    Result<int> openOrCreate(int parentFd, const std::string& name, const std::filesystem::path& path,
        const std::string& entryPath);

    int rootFd_ = -1;
    std::filesystem::path rootPath_;
    // The folder reached last, so that entries of one folder share one walk.
    std::vector<std::string> cachedComponents_;
    int cachedFd_ = -1;
};

} // namespace tavik::zip
