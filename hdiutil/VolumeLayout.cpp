#include "hdiutil/VolumeLayout.hpp"

#include "hdiutil/Listing.hpp"
#include "platform/strings/UTF8.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <glib.h>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tavik::hdiutil {
namespace {

std::runtime_error systemError(const std::string& what, int error)
{
    return std::runtime_error(what + ": " + std::strerror(error));
}

// Gives the owner full access to a folder for as long as the guard lives, so
// that read-only folders from an image can be walked and changed.
class FolderAccess {
public:
    explicit FolderAccess(const fs::path& folder)
        : folder_(folder)
    {
        struct stat info {};
        if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
        mode_t wanted = info.st_mode | S_IRWXU;
        if (wanted != info.st_mode && chmod(folder.c_str(), wanted & 07777) == 0) {
            original_ = info.st_mode & 07777;
            changed_ = true;
        }
    }
    ~FolderAccess()
    {
        if (changed_) chmod(folder_.c_str(), original_);
    }
    // The folder was moved: restore its mode at its new place.
    void movedTo(const fs::path& folder) { folder_ = folder; }
    FolderAccess(const FolderAccess&) = delete;
    FolderAccess& operator=(const FolderAccess&) = delete;

private:
    fs::path folder_;
    mode_t original_ = 0;
    bool changed_ = false;
};

std::vector<std::string> namesIn(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) names.push_back(item.path().filename().string());
    return names;
}

// An entry's name and file type (the S_IFMT bits of its mode), not following links.
struct FolderEntry {
    std::string name;
    mode_t type = 0;
};

// The type comes from the folder listing where the file system gives it, so
// that a walk costs no status call per entry.
std::vector<FolderEntry> entriesIn(const fs::path& folder)
{
    struct CloseFolder {
        void operator()(DIR* folder) const { closedir(folder); }
    };
    std::unique_ptr<DIR, CloseFolder> listing(opendir(folder.c_str()));
    if (!listing) throw systemError("cannot read folder " + folder.string(), errno);
    std::vector<FolderEntry> entries;
    errno = 0;
    while (const dirent* item = readdir(listing.get())) {
        std::string_view name = item->d_name;
        if (name == "." || name == "..") continue;
        mode_t type = item->d_type == DT_DIR ? S_IFDIR : item->d_type == DT_LNK ? S_IFLNK
                                                                                : S_IFREG;
        if (item->d_type == DT_UNKNOWN) {
            struct stat info {};
            auto path = folder / name;
            if (lstat(path.c_str(), &info) != 0) throw systemError("cannot examine " + path.string(), errno);
            type = info.st_mode & S_IFMT;
        }
        entries.push_back({std::string(name), type});
    }
    if (errno != 0) throw systemError("cannot read folder " + folder.string(), errno);
    return entries;
}

// Calls `visit` with the path and file type of every entry below `folder`,
// children before their folder, without following links.
void walkEntries(const fs::path& folder, const std::function<void(const fs::path&, mode_t)>& visit)
{
    FolderAccess access(folder);
    for (const auto& entry : entriesIn(folder)) {
        auto path = folder / entry.name;
        if (S_ISDIR(entry.type)) walkEntries(path, visit);
        visit(path, entry.type);
    }
}

// Runs a change to a folder's entries and then gives the folder back its
// times, so that a fix-up leaves the image's dates alone.
template <typename Change>
void keepingTimes(const fs::path& folder, Change change)
{
    struct stat info {};
    bool known = lstat(folder.c_str(), &info) == 0;
    change();
    if (known) {
        timespec times[2] = {info.st_atim, info.st_mtim};
        utimensat(AT_FDCWD, folder.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
}

bool renameNoReplace(const fs::path& from, const fs::path& to)
{
    return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

} // namespace

std::string precomposed(std::string_view name)
{
    // ASCII is its own normal form.
    if (std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        return std::string(name);
    }
    // The normaliser stops at a NUL, so a name holding one is kept as it is.
    if (!isValidUTF8(name) || name.find('\0') != std::string_view::npos) return std::string(name);
    std::unique_ptr<gchar, decltype(&g_free)> normalized(
        g_utf8_normalize(name.data(), static_cast<gssize>(name.size()), G_NORMALIZE_NFC), &g_free);
    return normalized ? std::string(normalized.get()) : std::string(name);
}

std::vector<std::pair<std::string, mode_t>> storedModes(std::string_view listing)
{
    std::vector<std::pair<std::string, mode_t>> modes;
    std::string path;
    listing::forEachLine(listing::entries(listing), [&](std::string_view line) {
        if (line.empty()) {
            path.clear();
        } else if (line.starts_with("Path = ")) {
            path = line.substr(7);
        } else if (line.starts_with("Mode = ") && !path.empty() && line.size() == 17) {
            auto text = line.substr(8); // after the type letter
            mode_t mode = 0;
            for (size_t index = 0; index < 9; ++index) {
                char c = text[index];
                mode_t bit = mode_t {1} << (8 - index);
                if (c == 'r' || c == 'w' || c == 'x' || c == 's' || c == 't') mode |= bit;
                if (index == 8 && (c == 't' || c == 'T')) mode |= S_ISVTX;
            }
            modes.emplace_back(path, mode & ~mode_t {S_IWGRP | S_IWOTH});
        }
    });
    return modes;
}

void applyStoredModes(const fs::path& extractionFolder, const std::vector<std::pair<std::string, mode_t>>& modes)
{
    auto ordered = modes;
    auto depth = [](const std::string& path) { return std::count(path.begin(), path.end(), '/'); };
    std::stable_sort(ordered.begin(), ordered.end(),
        [&](const auto& left, const auto& right) { return depth(left.first) > depth(right.first); });
    for (const auto& [relative, mode] : ordered) {
        auto path = extractionFolder / relative;
        if (relative.starts_with('/') || path.lexically_normal() != path) continue;
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) continue;
        if ((info.st_mode & 07777) != mode && chmod(path.c_str(), mode) != 0) {
            throw systemError("cannot set the mode of " + path.string(), errno);
        }
    }
}

void restoreAbsoluteLinks(const fs::path& tree, const fs::path& extractionFolder)
{
    const std::string prefix = extractionFolder.string();
    walkEntries(tree, [&](const fs::path& path, mode_t type) {
        if (!S_ISLNK(type)) return;
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0) throw systemError("cannot examine " + path.string(), errno);
        std::error_code error;
        std::string target = fs::read_symlink(path, error).string();
        if (error) throw std::runtime_error("cannot read link " + path.string() + ": " + error.message());
        std::string original;
        if (target == prefix) {
            original = "/";
        } else if (target.size() > prefix.size() && target.starts_with(prefix) && target[prefix.size()] == '/') {
            original = target.substr(prefix.size());
        } else {
            return;
        }
        keepingTimes(path.parent_path(), [&] {
            if (unlink(path.c_str()) != 0 || symlink(original.c_str(), path.c_str()) != 0) {
                throw systemError("cannot restore link " + path.string(), errno);
            }
        });
        timespec times[2] = {info.st_atim, info.st_mtim};
        utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    });
}

void precomposeNames(const fs::path& tree)
{
    walkEntries(tree, [](const fs::path& path, mode_t) {
        auto name = path.filename().string();
        auto composed = precomposed(name);
        if (composed == name) return;
        // A precomposed twin already there keeps the decomposed name.
        keepingTimes(path.parent_path(), [&] { renameNoReplace(path, path.parent_path() / composed); });
    });
}

void moveEntries(const fs::path& from, const fs::path& to, std::vector<std::string>& moved)
{
    FolderAccess access(from);
    for (const auto& name : namesIn(from)) {
        auto source = from / name;
        // Moving a folder to another parent needs write access to the folder
        // itself (its ".." changes); lend it for the move.
        FolderAccess folderAccess(source);
        if (!renameNoReplace(source, to / name)) {
            throw systemError("cannot move " + name + " into " + to.string(), errno);
        }
        folderAccess.movedTo(to / name);
        moved.push_back(name);
    }
}

void removeTree(const fs::path& path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return;
        throw systemError("cannot examine " + path.string(), errno);
    }
    if (S_ISDIR(info.st_mode)) {
        walkEntries(path, [](const fs::path& entry, mode_t) {
            if (std::remove(entry.c_str()) != 0 && errno != ENOENT) {
                throw systemError("cannot remove " + entry.string(), errno);
            }
        });
    }
    if (std::remove(path.c_str()) != 0 && errno != ENOENT) throw systemError("cannot remove " + path.string(), errno);
}

} // namespace tavik::hdiutil
