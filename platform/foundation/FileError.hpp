#pragma once

#include "platform/foundation/Error.hpp"

#include <filesystem>
#include <string>

namespace tavik {

// The platform's file errors, with the codes the rest of the system knows
// them by, the file they concern and, where there is one, the errno behind them.
class FileError final : public Error {
public:
    enum class Code {
        fileNoSuchFile = 4,
        fileReadUnknown = 256,
        fileReadNoPermission = 257,
        fileReadNoSuchFile = 260,
        fileWriteUnknown = 512,
        fileWriteNoPermission = 513,
        fileWriteFileExists = 516,
        fileWriteOutOfSpace = 640,
    };

    FileError(Code code, std::filesystem::path path, int errnoValue = 0);
    static ErrorPtr make(Code code, std::filesystem::path path, int errnoValue = 0);
    // Chooses the code that fits an errno from a write or a read.
    static ErrorPtr fromErrno(int errnoValue, std::filesystem::path path, bool writing);

    Code fileCode() const { return code_; }
    const std::filesystem::path& path() const { return path_; }
    int errnoValue() const { return errno_; }

    std::string description() const override;
    std::optional<std::string> failureReason() const override;
    std::string domain() const override { return "NSCocoaErrorDomain"; }
    int code() const override { return static_cast<int>(code_); }

private:
    Code code_;
    std::filesystem::path path_;
    int errno_;
};

// Whether an error is a FileError with this code.
bool isFileError(const ErrorPtr& error, FileError::Code code);
// The errno behind a FileError; 0 for any other error or none.
int errnoOf(const ErrorPtr& error);

} // namespace tavik
