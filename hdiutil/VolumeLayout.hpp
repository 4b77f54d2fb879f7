#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

// Turning what 7-Zip extracted from an image into the tree a mounted volume
// shows, and taking it away again.
namespace tavik::hdiutil {

// The name in Unicode normalization form C; names that are not valid UTF-8
// come back unchanged.
std::string precomposed(std::string_view name);

// The modes the image stores for its entries, by path relative to the
// extraction folder, read from the technical listing (`7zz l -slt`) of the
// volume. Set-user-ID and set-group-ID bits are not kept, nor write access
// for group and others: another user must not be able to change what is
// installed from the volume.
std::vector<std::pair<std::string, mode_t>> storedModes(std::string_view listing);

// 7-Zip gives every folder it makes owner write access; give entries the
// modes the image stores instead, deepest first.
void applyStoredModes(const std::filesystem::path& extractionFolder,
    const std::vector<std::pair<std::string, mode_t>>& modes);

// 7-Zip rewrites an absolute link target "/T" to "<extraction folder>/T";
// give such links their original target again.
void restoreAbsoluteLinks(const std::filesystem::path& tree, const std::filesystem::path& extractionFolder);

// Renames every entry under the tree whose name is not precomposed to its
// precomposed form, unless that name is already taken.
void precomposeNames(const std::filesystem::path& tree);

// Moves every entry of `from` into `to`, never replacing anything there, and
// appends each moved name to `moved` as it goes (so a caller can undo a
// partial move). Throws std::runtime_error on the first failure.
void moveEntries(const std::filesystem::path& from, const std::filesystem::path& to, std::vector<std::string>& moved);

// Removes a file, link or whole folder tree without following links, also
// where folders in it lack write permission. A missing path is not an error.
void removeTree(const std::filesystem::path& path);

} // namespace tavik::hdiutil
