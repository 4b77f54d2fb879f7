#include "Tavik/file-handling/AppImageInstallation.hpp"

#include "appimage/AppImageFile.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/foundation/FileWriting.hpp"
#include "platform/foundation/TypeIdentifier.hpp"
#include "platform/strings/UTF8.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tavik {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view entryPrefix = "app.tavik.appimage.";
constexpr std::string_view desktopEntryGroup = "[Desktop Entry]";

ErrorPtr entryError(std::string description)
{
    return GenericError::make("app.tavik.AppImageInstallation", 1, std::move(description));
}

// A stable short name for a path: FNV-1a.
std::string pathHash(const std::string& text)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : text)
        hash = (hash ^ c) * 0x100000001b3ULL;
    return fmt::format("{:08x}", static_cast<std::uint32_t>(hash ^ (hash >> 32)));
}

// A desktop entry string value: backslashes and control characters escaped.
std::string escapeValue(std::string_view text)
{
    std::string escaped;
    for (char c : text) {
        if (c == '\\')
            escaped += "\\\\";
        else
            escaped += c;
    }
    return escaped;
}

std::string unescapeValue(std::string_view text)
{
    std::string value;
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] != '\\' || index + 1 == text.size()) {
            value += text[index];
            continue;
        }
        char next = text[++index];
        value += next == 's' ? ' ' : next == 'n' ? '\n'
            : next == 't'                        ? '\t'
            : next == 'r'                        ? '\r'
                                                 : next;
    }
    return value;
}

// The program of an Exec value, quoted so that any path survives the
// launcher's argument splitting; "%" doubled as field codes require.
std::string quotedProgram(const std::string& path)
{
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        if (c == '%')
            quoted += '%';
        quoted += c;
    }
    return escapeValue(quoted + "\"");
}

// What follows the program in an Exec value (field codes, options).
std::string execArguments(std::string_view value)
{
    std::size_t end = 0;
    if (!value.empty() && value.front() == '"') {
        end = 1;
        while (end < value.size() && value[end] != '"')
            end += value[end] == '\\' ? 2 : 1;
        end = std::min(end + 1, value.size());
    } else {
        end = std::min(value.find(' '), value.size());
    }
    auto rest = value.substr(end);
    auto first = rest.find_first_not_of(' ');
    return first == std::string_view::npos ? std::string() : std::string(rest.substr(first));
}

std::string_view keyOf(std::string_view line)
{
    auto equals = line.find('=');
    if (equals == std::string_view::npos)
        return {};
    auto key = line.substr(0, equals);
    while (!key.empty() && key.back() == ' ')
        key.remove_suffix(1);
    return key;
}

std::string_view valueOf(std::string_view line)
{
    auto value = line.substr(line.find('=') + 1);
    while (!value.empty() && value.front() == ' ')
        value.remove_prefix(1);
    return value;
}

std::vector<std::string_view> linesOf(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = std::min(text.find('\n', start), text.size());
        auto line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// Writes the bytes in place of the path, creating its folders first.
Result<void> writeAtomically(const fs::path& path, std::string_view bytes)
{
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    if (error)
        return FileError::fromErrno(error.value(), path.parent_path(), true);
    return replaceFile(path, bytes, 0644);
}

// Reads a whole small regular file, not through a link.
std::optional<std::string> readSmallFile(const fs::path& path, std::size_t maxBytes)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    struct stat status {};
    std::optional<std::string> bytes;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && std::size_t(status.st_size) <= maxBytes) {
        std::string text(std::size_t(status.st_size), '\0');
        if (::pread(fd, text.data(), text.size(), 0) == status.st_size)
            bytes = std::move(text);
    }
    ::close(fd);
    return bytes;
}

struct Icon {
    std::string bytes;
    fs::path themeFolder; // "48x48/apps" or "scalable/apps" under hicolor
    std::string extension;
};

// A PNG of a size the theme has a folder for, or an SVG image.
std::optional<Icon> recognisedIcon(std::string bytes)
{
    if (bytes.size() >= 24 && bytes.starts_with("\x89PNG\r\n\x1a\n")) {
        auto number = [&](std::size_t offset) {
            std::uint32_t value = 0;
            for (std::size_t index = 0; index < 4; ++index)
                value = (value << 8) | static_cast<unsigned char>(bytes[offset + index]);
            return value;
        };
        std::uint32_t width = number(16), height = number(20);
        if (width != height || width < 8 || width > 1024)
            return std::nullopt;
        auto folder = fs::path(fmt::format("{}x{}", width, width)) / "apps";
        return Icon {std::move(bytes), folder, ".png"};
    }
    if (bytes.substr(0, 1024).find("<svg") != std::string::npos)
        return Icon {std::move(bytes), fs::path("scalable") / "apps", ".svg"};
    return std::nullopt;
}

std::optional<Icon> readIcon(appimage::AppImageFile& file, std::string_view iconKey)
{
    std::vector<std::string> candidates;
    if (!iconKey.empty() && iconKey.find('/') == std::string_view::npos) {
        candidates.push_back(std::string(iconKey) + ".png");
        candidates.push_back(std::string(iconKey) + ".svg");
        candidates.push_back(std::string(iconKey));
    }
    candidates.push_back(".DirIcon");
    for (const auto& candidate : candidates) {
        auto bytes = file.readFile(candidate, AppImageInstallation::maximumIconBytes);
        if (!bytes)
            continue;
        if (auto icon = recognisedIcon(std::move(*bytes)))
            return icon;
    }
    return std::nullopt;
}

} // namespace

AppImageInstallation::AppImageInstallation(fs::path dataHome)
    : dataHome_(std::move(dataHome))
{
}

AppImageInstallation AppImageInstallation::standard()
{
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && *dataHome == '/')
        return AppImageInstallation(dataHome);
    const char* home = std::getenv("HOME");
    return AppImageInstallation(fs::path(home ? home : "/") / ".local" / "share");
}

bool AppImageInstallation::isAppImage(const fs::path& path)
{
    auto values = ResourceValues::of(path);
    return values && values->typeIdentifier == TypeIdentifiers::appImage;
}

Result<void> AppImageInstallation::makeExecutable(const fs::path& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return FileError::fromErrno(errno, path, false);
    struct stat status {};
    bool changed = ::fstat(fd, &status) == 0 && ::fchmod(fd, ((status.st_mode & 07777) | S_IXUSR) & ~mode_t(S_IWGRP | S_IWOTH | S_ISUID | S_ISGID)) == 0;
    int savedErrno = errno;
    ::close(fd);
    if (!changed)
        return FileError::fromErrno(savedErrno, path, false);
    return {};
}

fs::path AppImageInstallation::entryPath(const fs::path& appImage) const
{
    std::string name;
    for (char c : appImage.stem().string())
        name += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
    return applicationsFolder() / fmt::format("{}{}-{}.desktop", entryPrefix, name, pathHash(appImage.string()));
}

Result<std::string> AppImageInstallation::launcherEntry(std::string_view original, const fs::path& appImagePath,
    const std::string& iconName)
{
    const std::string path = appImagePath.string();
    if (std::any_of(path.begin(), path.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }))
        return entryError("The AppImage's path cannot be written into a launcher entry");
    if (original.find('\0') != std::string_view::npos || !isValidUTF8(original))
        return entryError("The AppImage's desktop entry is not text");
    auto lines = linesOf(original);
    if (std::find(lines.begin(), lines.end(), desktopEntryGroup) == lines.end())
        return entryError("The AppImage's desktop entry has no [Desktop Entry] group");

    std::string program = quotedProgram(path);
    std::string entry;
    std::string_view group;
    for (auto line : lines) {
        if (line.starts_with("[")) {
            group = line;
            entry += std::string(line) + "\n";
            if (line == desktopEntryGroup) {
                // The main Exec: the copy, with the original's arguments.
                std::string arguments;
                for (auto other : lines)
                    if (keyOf(other) == "Exec") {
                        arguments = execArguments(valueOf(other));
                        break;
                    }
                entry += "Exec=" + program + (arguments.empty() ? "" : " " + arguments) + "\n";
                entry += "TryExec=" + escapeValue(path) + "\n";
                entry += std::string(ownerKey) + "=" + escapeValue(path) + "\n";
            }
            continue;
        }
        auto key = keyOf(line);
        if (key == "TryExec" || key == "DBusActivatable" || key == ownerKey)
            continue;
        if (key == "Exec") {
            // Actions run the copy too; the main Exec was written above.
            if (group != desktopEntryGroup)
                entry += "Exec=" + program + " " + execArguments(valueOf(line)) + "\n";
            continue;
        }
        if (key == "Icon" && group == desktopEntryGroup && !iconName.empty()) {
            entry += "Icon=" + iconName + "\n";
            continue;
        }
        entry += std::string(line) + "\n";
    }
    return entry;
}

Result<void> AppImageInstallation::integrate(const fs::path& appImage) const
{
    auto file = TAVIK_TRY(appimage::AppImageFile::open(appImage));
    auto names = TAVIK_TRY(file.topLevelNames());
    std::sort(names.begin(), names.end());
    auto desktop = std::find_if(names.begin(), names.end(), [](const std::string& name) { return name.ends_with(".desktop"); });
    if (desktop == names.end())
        return entryError("The AppImage holds no desktop entry");
    auto original = TAVIK_TRY(file.readFile(*desktop, maximumEntryBytes));

    std::string iconKey;
    std::string_view group;
    for (auto line : linesOf(original)) {
        if (line.starts_with("["))
            group = line;
        else if (group == desktopEntryGroup && keyOf(line) == "Icon")
            iconKey = std::string(valueOf(line));
    }

    auto entryFile = entryPath(appImage);
    std::string iconName;
    if (auto icon = readIcon(file, iconKey)) {
        auto name = entryFile.stem().string();
        if (writeAtomically(iconsFolder() / icon->themeFolder / (name + icon->extension), icon->bytes))
            iconName = name;
    }
    auto text = TAVIK_TRY(launcherEntry(original, appImage, iconName));
    return writeAtomically(entryFile, text);
}

std::size_t AppImageInstallation::removeStaleEntries() const
{
    std::size_t removed = 0;
    std::error_code error;
    for (const auto& item : fs::directory_iterator(applicationsFolder(), error)) {
        auto name = item.path().filename().string();
        if (!name.starts_with(entryPrefix) || !name.ends_with(".desktop"))
            continue;
        auto text = readSmallFile(item.path(), maximumEntryBytes);
        if (!text)
            continue;
        std::optional<std::string> appImage;
        for (auto line : linesOf(*text))
            if (keyOf(line) == ownerKey)
                appImage = unescapeValue(valueOf(line));
        struct stat status {};
        if (!appImage || ::lstat(appImage->c_str(), &status) == 0 || errno != ENOENT)
            continue;
        fs::remove(item.path(), error);
        auto stem = item.path().stem().string();
        for (const auto& size : fs::directory_iterator(iconsFolder(), error))
            for (const char* extension : {".png", ".svg"})
                fs::remove(size.path() / "apps" / (stem + extension), error);
        ++removed;
    }
    return removed;
}

} // namespace tavik
