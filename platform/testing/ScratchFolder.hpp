#pragma once

#include "platform/foundation/URL.hpp"

#include <filesystem>
#include <string>

namespace tavik::testing {

// A fresh folder of one test under $TMPDIR (else /tmp), removed with all it
// holds when the object goes, read-only folders included. Its path is
// canonical, so paths built from it compare equal to resolved ones.
class ScratchFolder {
public:
    // `name` starts the folder's name, to tell whose folder is left after a
    // crash. `parent`, when given, holds it instead of the temporary folder
    // (to be on the file system of a test's home, say).
    explicit ScratchFolder(const std::string& name = "tavik-test", const std::filesystem::path& parent = {});
    ~ScratchFolder();
    ScratchFolder(ScratchFolder&& other) noexcept;
    ScratchFolder& operator=(ScratchFolder&&) = delete;
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }
    // The folder itself, or a file in it.
    URL url(const std::string& name = {}) const;
    // Writes bytes into a file of the folder (making its parents) and gives its URL.
    URL write(const std::string& name, const std::string& bytes) const;

private:
    std::filesystem::path path_;
};

} // namespace tavik::testing
