#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tavik::testing {

// A small file system of a test's own: a tmpfs of the given size mounted on
// a fresh folder, unmounted and removed again when the object goes. Mounting
// needs root (or CAP_SYS_ADMIN); where it is not allowed, mount() gives
// nothing and `whyNot` says why, for the test to skip with.
class SmallFileSystem {
public:
    static std::optional<SmallFileSystem> mount(uint64_t bytes, std::string& whyNot);
    ~SmallFileSystem();
    SmallFileSystem(SmallFileSystem&& other) noexcept;
    SmallFileSystem& operator=(SmallFileSystem&&) = delete;
    SmallFileSystem(const SmallFileSystem&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    explicit SmallFileSystem(std::filesystem::path path);
    std::filesystem::path path_;
};

} // namespace tavik::testing
