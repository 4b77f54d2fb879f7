#pragma once

#include "platform/foundation/CodedError.hpp"

#include <filesystem>

namespace tavik {

// Why the workspace could not open an item.
class WorkspaceError final : public CodedError<WorkspaceError> {
public:
    enum class Code {
        // The bundle has no readable Contents/Info.plist.
        infoPlistMissing = 1,
        // Contents/Info.plist is not a property list holding a dictionary.
        infoPlistInvalid,
        // The Info.plist names no executable (CFBundleExecutable).
        executableNotNamed,
        // CFBundleExecutable is not a plain file name inside Contents/MacOS.
        executableNameInvalid,
        // Contents/MacOS holds no such file.
        executableMissing,
        // The file is there but cannot be run.
        executableNotRunnable,
        // Starting the process failed.
        launchFailed,
        // No program to open the item with (xdg-open) was found.
        openerMissing,
    };

    WorkspaceError(Code code, std::filesystem::path path, int errnoValue = 0);

    Code errorCode() const { return code_; }
    const std::filesystem::path& path() const { return path_; }

    std::string description() const override;
    std::optional<std::string> failureReason() const override;
    std::string domain() const override { return "app.tavik.Workspace"; }

private:
    Code code_;
    std::filesystem::path path_;
    int errno_;
};

inline bool isWorkspaceError(const ErrorPtr& error, WorkspaceError::Code code) { return WorkspaceError::is(error, code); }

} // namespace tavik
