#pragma once

// A program started at login, the freedesktop way: an autostart entry
// `<autostart folder>/<identifier>.desktop`. It is enabled when the entry
// exists and is neither hidden (Hidden=true) nor switched off
// (X-GNOME-Autostart-enabled=false), whoever wrote it.

#include "platform/foundation/Result.hpp"

#include <filesystem>
#include <string>

namespace tavik {

class LoginItem {
public:
    // `$XDG_CONFIG_HOME/autostart`, else `~/.config/autostart`.
    static std::filesystem::path defaultAutostartFolder();

    LoginItem(std::string identifier, std::string name, std::filesystem::path executable,
        std::filesystem::path autostartFolder = defaultAutostartFolder());

    const std::filesystem::path& entryPath() const { return entryPath_; }
    bool isEnabled() const;

    // Enabling writes the entry afresh (atomically, creating the folder);
    // disabling removes it (a link is removed, never its target). Either
    // fails with a FileError when the folder cannot be written; enabling
    // also when the executable cannot be run.
    Result<void> setEnabled(bool enabled) const;

    // The entry's text: runs the executable, hidden from menus.
    std::string entryText() const;

private:
    std::string identifier_;
    std::string name_;
    std::filesystem::path executable_;
    std::filesystem::path entryPath_;
};

} // namespace tavik
