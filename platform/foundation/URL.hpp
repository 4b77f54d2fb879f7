#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace tavik {

// A file URL: an absolute path plus whether it names a directory (which the
// textual form shows as a trailing slash). Equality compares both, as URL
// equality does.
class URL {
public:
    // Asks the file system whether the path is a directory.
    static URL fileURL(const std::filesystem::path& path);
    static URL fileURL(const std::filesystem::path& path, bool isDirectory);

    const std::filesystem::path& path() const { return path_; }
    bool hasDirectoryPath() const { return isDirectory_; }
    std::string lastPathComponent() const;
    std::string pathExtension() const;

    URL appendingPathComponent(std::string_view component, bool isDirectory = false) const;
    URL deletingLastPathComponent() const;
    // The path with every symbolic link in it resolved, as far as it exists.
    URL resolvingSymlinksInPath() const;
    // The textual form, "file:///path/to/item" with percent-escapes.
    std::string description() const;

    bool operator==(const URL& other) const = default;

private:
    URL(std::filesystem::path path, bool isDirectory);

    std::filesystem::path path_;
    bool isDirectory_ = false;
};

} // namespace tavik

template <>
struct std::hash<tavik::URL> {
    size_t operator()(const tavik::URL& url) const noexcept
    {
        return std::hash<std::string>()(url.path().native()) ^ static_cast<size_t>(url.hasDirectoryPath());
    }
};
