#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"
#include "zip/ExtractionJournal.hpp"

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
    // Opens root, creating it and its parents when missing. Folders the tree
    // creates below root are recorded in the journal when one is given.
    static Result<ConfinedTree> open(const URL& root, ExtractionJournal* journal = nullptr);
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

    // Records an item made in the tree, when the tree has a journal.
    void recordCreated(std::span<const std::string> components, bool isDirectory);

private:
    ConfinedTree(int rootFd, std::filesystem::path rootPath, ExtractionJournal* journal);
    Result<int> openOrCreate(int parentFd, std::span<const std::string> components, const std::string& entryPath);

    int rootFd_ = -1;
    std::filesystem::path rootPath_;
    ExtractionJournal* journal_ = nullptr;
    // The folder reached last, so that entries of one folder share one walk.
    std::vector<std::string> cachedComponents_;
    int cachedFd_ = -1;
};

} // namespace tavik::zip
