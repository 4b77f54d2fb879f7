#pragma once

#include <fmt/format.h>

#include <memory>
#include <string>
#include <string_view>

namespace tavik::log {

enum class Level {
    debug,
    info,
    defaultLevel,
    error,
    fault
};

std::string_view levelName(Level level);

// A log handle for one subsystem and category. Entries go to the systemd
// journal when it is reachable, else to standard error. Copies are cheap.
class Logger {
public:
    Logger(std::string subsystem, std::string category);

    const std::string& subsystem() const;
    const std::string& category() const;

    template <class... Args>
    void defaultLevel(fmt::format_string<Args...> format, Args&&... args) const
    {
        write(Level::defaultLevel, fmt::format(format, std::forward<Args>(args)...));
    }
    template <class... Args>
    void info(fmt::format_string<Args...> format, Args&&... args) const
    {
        write(Level::info, fmt::format(format, std::forward<Args>(args)...));
    }
    template <class... Args>
    void debug(fmt::format_string<Args...> format, Args&&... args) const
    {
        write(Level::debug, fmt::format(format, std::forward<Args>(args)...));
    }
    template <class... Args>
    void error(fmt::format_string<Args...> format, Args&&... args) const
    {
        write(Level::error, fmt::format(format, std::forward<Args>(args)...));
    }
    template <class... Args>
    void fault(fmt::format_string<Args...> format, Args&&... args) const
    {
        write(Level::fault, fmt::format(format, std::forward<Args>(args)...));
    }

    void write(Level level, std::string_view message) const;

private:
    struct Identity;
    std::shared_ptr<const Identity> identity_;
};

} // namespace tavik::log
