#pragma once

#include "platform/foundation/Error.hpp"

#include <cstdint>
#include <string>

namespace tavik::service {

// The service's own errors when attaching a disk image.
class MountDMGError final : public Error {
public:
    enum class Case {
        exitCode,
        failedToCopyDMG,
        invalidOutput
    };

    // hdiutil ran and exited with this non-zero status, saying why (or not).
    static ErrorPtr exitCode(int32_t status, std::string message = {});
    // The image had to be copied before attaching, and the copy failed.
    static ErrorPtr failedToCopyDMG(ErrorPtr underlying);
    // hdiutil attach succeeded but its standard output could not be decoded.
    static ErrorPtr invalidOutput();

    Case errorCase() const { return case_; }
    int32_t status() const { return status_; }
    const std::string& message() const { return message_; }
    const ErrorPtr& underlying() const { return underlying_; }

    std::string description() const override;
    std::optional<std::string> failureReason() const override;
    std::string domain() const override { return "DuvrinXPC.MountDMGError"; }
    int code() const override { return static_cast<int>(case_); }

    MountDMGError(Case errorCase, int32_t status, ErrorPtr underlying, std::string message = {});

private:
    Case case_;
    int32_t status_;
    ErrorPtr underlying_;
    std::string message_;
};

} // namespace tavik::service
