#pragma once

#include "Tavik/file-handling/InstallableApplication.hpp"
#include "actions/FileActionResult.hpp"
#include "platform/foundation/URL.hpp"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavik::testing {

// A fresh folder under the system's temporary folder, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Points TMPDIR, XDG_RUNTIME_DIR at a scratch folder and puts the built
// hdiutil stand-in first on PATH, for the lifetime of the object.
class SearchEnvironment {
public:
    SearchEnvironment();
    ~SearchEnvironment();
    const std::filesystem::path& temporary() const { return temporary_.path(); }
    // The process's temporary folder's "mounts".
    std::filesystem::path mountsFolder() const;

private:
    ScratchFolder temporary_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Runs a program with an argument vector, optionally in a folder; its exit
// status (-1 when it could not start or ended by a signal).
int run(const std::vector<std::string>& arguments, const std::optional<std::filesystem::path>& folder = std::nullopt);

void writeFile(const std::filesystem::path& path, const std::string& contents);
std::string readFile(const std::filesystem::path& path);

// Makes a disk image of a folder tree with scripts/make-dmg.
void makeDiskImage(const std::filesystem::path& source, const std::filesystem::path& image);

// Writes a ZIP archive with python's zipfile from a list of entries, each a
// Python expression for a ZipInfo-and-data pair built by the helpers in
// the script: file(name, data), folder(name), link(name, target_bytes).
void writePythonZip(const std::filesystem::path& archive, const std::vector<std::string>& entries);

// Makes an application bundle skeleton (Contents/Info.plist, an executable).
void makeBundle(const std::filesystem::path& bundle);

// Makes an AppImage (type 2): a copy of /bin/true carrying the AppImage magic
// followed by a squashfs image made with mksquashfs from `contents` (or, when
// none is given, from a tree with "<name>.desktop", "<name>.png" of 32x32
// pixels, ".DirIcon" linking to it, and an AppRun script).
void makeAppImage(const std::filesystem::path& appImage, const std::string& name,
    const std::optional<std::filesystem::path>& contents = std::nullopt);

// A real 32x32 PNG image.
std::string pngImage(unsigned size = 32);

// Writes a tar archive with python's tarfile from a list of entries, each a
// Python expression built by the helpers in the script: file(name, data),
// folder(name), link(name, target), hardlink(name, target), device(name),
// fifo(name).
void writePythonTar(const std::filesystem::path& archive, const std::vector<std::string>& entries);

// A tree as a sorted list of lines: path, type, mode, link target or contents.
std::vector<std::string> describeTree(const std::filesystem::path& root);

// Waits for one action result delivered on any thread.
template <class I, class O>
class ResultWaiter {
public:
    actions::Completion<I, O> completion()
    {
        return [this](actions::FileActionResult<I, O> result) {
            std::lock_guard lock(mutex_);
            results_.push_back(std::move(result));
            changed_.notify_all();
        };
    }
    // The first result; fails the calling test when none comes in time.
    std::optional<actions::FileActionResult<I, O>> wait(std::chrono::seconds timeout = std::chrono::seconds(180))
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, timeout, [&] { return !results_.empty(); }))
            return std::nullopt;
        return results_.front();
    }
    size_t count() const
    {
        std::lock_guard lock(mutex_);
        return results_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<actions::FileActionResult<I, O>> results_;
};

// The chain of a source from the item outwards, e.g. "dmg(Outer.dmg) < directory".
std::string describeSource(const InstallableApplication::Source& source);

} // namespace tavik::testing
