#include "platform/loginitem/LoginItem.hpp"

#include "platform/foundation/FileError.hpp"
#include "platform/foundation/FileWriting.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik {

namespace fs = std::filesystem;

namespace {

// Entries are a few lines; a larger file is not read past this.
constexpr std::streamsize maxEntrySize = 64 * 1024;

// One argument of an Exec key: quoted, with the characters the desktop entry
// rules reserve inside quotes escaped, then escaped again as a string value.
std::string execArgument(const std::string& argument)
{
    std::string quoted = "\"";
    for (char character : argument) {
        switch (character) {
        case '"':
        case '`':
        case '$':
            quoted += "\\\\";
            quoted += character;
            break;
        case '\\':
            quoted += "\\\\\\\\";
            break;
        case '%':
            quoted += "%%";
            break;
        default:
            quoted += character;
        }
    }
    return quoted + "\"";
}

std::string trimmed(const std::string& text)
{
    auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

ErrorPtr writeError(int error, const fs::path& path)
{
    return FileError::fromErrno(error, path, true);
}

} // namespace

fs::path LoginItem::defaultAutostartFolder()
{
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
        return fs::path(config) / "autostart";
    const char* home = std::getenv("HOME");
    return fs::path(home && home[0] ? home : "/") / ".config" / "autostart";
}

LoginItem::LoginItem(std::string identifier, std::string name, fs::path executable, fs::path autostartFolder)
    : identifier_(std::move(identifier))
    , name_(std::move(name))
    , executable_(std::move(executable))
    , entryPath_(autostartFolder / (identifier_ + ".desktop"))
{
}

std::string LoginItem::entryText() const
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name="
        + name_ + "\n"
        + "Exec=" + execArgument(executable_.string()) + "\n"
        + "NoDisplay=true\n"
          "X-GNOME-Autostart-enabled=true\n";
}

bool LoginItem::isEnabled() const
{
    std::ifstream file(entryPath_);
    if (!file)
        return false;
    std::string text(maxEntrySize, '\0');
    file.read(text.data(), maxEntrySize);
    text.resize(static_cast<size_t>(file.gcount()));

    std::istringstream lines(text);
    std::string line;
    bool inMainGroup = false;
    bool sawMainGroup = false;
    while (std::getline(lines, line)) {
        line = trimmed(line);
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            sawMainGroup = sawMainGroup || inMainGroup;
            continue;
        }
        if (!inMainGroup)
            continue;
        auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        auto key = trimmed(line.substr(0, equals));
        auto value = trimmed(line.substr(equals + 1));
        if (key == "Hidden" && value == "true")
            return false;
        if (key == "X-GNOME-Autostart-enabled" && value == "false")
            return false;
    }
    return sawMainGroup;
}

Result<void> LoginItem::setEnabled(bool enabled) const
{
    if (!enabled) {
        if (::unlink(entryPath_.c_str()) != 0 && errno != ENOENT)
            return writeError(errno, entryPath_);
        return {};
    }

    // An entry for a program that is not there would fail silently at every login.
    if (::access(executable_.c_str(), X_OK) != 0)
        return FileError::fromErrno(errno, executable_, false);
    if (executable_.string().find_first_of("\n\r") != std::string::npos)
        return writeError(EINVAL, executable_);
    auto folder = entryPath_.parent_path();
    std::error_code error;
    fs::create_directories(folder, error);
    if (error)
        return writeError(error.value(), folder);

    return replaceFile(entryPath_, entryText(), 0644);
}

} // namespace tavik
