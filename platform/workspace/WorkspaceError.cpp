#include "platform/workspace/WorkspaceError.hpp"

#include <cstring>
#include <fmt/format.h>

namespace tavik {

WorkspaceError::WorkspaceError(Code code, std::filesystem::path path, int errnoValue)
    : code_(code)
    , path_(std::move(path))
    , errno_(errnoValue)
{
}

std::string WorkspaceError::description() const
{
    auto name = path_.filename().string();
    if (code_ == Code::openerMissing)
        return fmt::format("“{}” can’t be opened because no program to open it with (xdg-open) was found.", name);
    if (code_ == Code::launchFailed)
        return fmt::format("“{}” can’t be opened because it could not be started.", name);
    return fmt::format("The application “{}” can’t be opened because {}", name, *failureReason());
}

std::optional<std::string> WorkspaceError::failureReason() const
{
    auto detail = errno_ ? fmt::format(" ({})", std::strerror(errno_)) : std::string();
    switch (code_) {
    case Code::infoPlistMissing:
        return fmt::format("its Contents/Info.plist is missing or unreadable{}.", detail);
    case Code::infoPlistInvalid:
        return std::string("its Contents/Info.plist is not a valid property list dictionary.");
    case Code::executableNotNamed:
        return std::string("its Contents/Info.plist names no executable (CFBundleExecutable).");
    case Code::executableNameInvalid:
        return std::string("the executable its Contents/Info.plist names (CFBundleExecutable) is not a file name in Contents/MacOS.");
    case Code::executableMissing:
        return fmt::format("its executable is missing from Contents/MacOS{}.", detail);
    case Code::executableNotRunnable:
        return std::string("its executable is not an executable file.");
    case Code::launchFailed:
    case Code::openerMissing:
        return errno_ ? std::optional<std::string>(std::strerror(errno_)) : std::nullopt;
    }
    return std::nullopt;
}

} // namespace tavik
