#include "platform/foundation/URL.hpp"

#include <cstdio>
#include <system_error>

namespace tavik {

namespace {

std::filesystem::path normalized(const std::filesystem::path& path)
{
    auto absolute = path.is_absolute() ? path : std::filesystem::absolute(path);
    auto clean = absolute.lexically_normal();
    // "/a/b/" keeps an empty last element; the directory flag says it instead.
    if (clean.has_relative_path() && !clean.has_filename())
        clean = clean.parent_path();
    return clean;
}

bool isDirectoryOnDisk(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

bool isUnescaped(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    case '/':
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
        return true;
    default:
        return false;
    }
}

} // namespace

URL::URL(std::filesystem::path path, bool isDirectory)
    : path_(std::move(path))
    , isDirectory_(isDirectory)
{
}

URL URL::fileURL(const std::filesystem::path& path)
{
    auto clean = normalized(path);
    return URL(clean, isDirectoryOnDisk(clean));
}

URL URL::fileURL(const std::filesystem::path& path, bool isDirectory)
{
    return URL(normalized(path), isDirectory);
}

std::string URL::lastPathComponent() const
{
    if (path_ == path_.root_path())
        return "/";
    return path_.filename().string();
}

std::string URL::pathExtension() const
{
    auto extension = path_.extension().string();
    return extension.empty() ? extension : extension.substr(1);
}

URL URL::appendingPathComponent(std::string_view component, bool isDirectory) const
{
    return URL::fileURL(path_ / std::filesystem::path(component).relative_path(), isDirectory);
}

URL URL::deletingLastPathComponent() const
{
    if (path_ == path_.root_path())
        return URL(path_, true);
    return URL(path_.parent_path(), true);
}

URL URL::resolvingSymlinksInPath() const
{
    std::error_code error;
    auto resolved = std::filesystem::weakly_canonical(path_, error);
    if (error)
        return *this;
    bool directory = std::filesystem::exists(resolved, error) ? isDirectoryOnDisk(resolved) : isDirectory_;
    return URL(normalized(resolved), directory);
}

std::string URL::description() const
{
    std::string text = "file://";
    for (unsigned char c : path_.native()) {
        if (isUnescaped(c)) {
            text += static_cast<char>(c);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            text += escape;
        }
    }
    if (isDirectory_ && text.back() != '/')
        text += '/';
    return text;
}

} // namespace tavik
