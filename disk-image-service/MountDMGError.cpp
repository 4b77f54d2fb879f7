#include "disk-image-service/MountDMGError.hpp"

#include <fmt/format.h>

namespace tavik::service {

MountDMGError::MountDMGError(Case errorCase, int32_t status, ErrorPtr underlying, std::string message)
    : case_(errorCase)
    , status_(status)
    , underlying_(std::move(underlying))
    , message_(std::move(message))
{
}

ErrorPtr MountDMGError::exitCode(int32_t status, std::string message)
{
    return std::make_shared<const MountDMGError>(Case::exitCode, status, nullptr, std::move(message));
}

ErrorPtr MountDMGError::failedToCopyDMG(ErrorPtr underlying)
{
    return std::make_shared<const MountDMGError>(Case::failedToCopyDMG, 0, std::move(underlying));
}

ErrorPtr MountDMGError::invalidOutput()
{
    return std::make_shared<const MountDMGError>(Case::invalidOutput, 0, nullptr);
}

std::string MountDMGError::description() const
{
    switch (case_) {
    case Case::exitCode:
        // hdiutil's own words say what the user can do ("the image is too
        // large for the free space: ...").
        if (!message_.empty())
            return fmt::format("hdiutil failed with exit code {}: {}", status_, message_);
        return fmt::format("hdiutil failed with exit code {}.", status_);
    case Case::failedToCopyDMG:
        return fmt::format("The disk image is in use and could not be copied to attach it again: {}",
            underlying_ ? underlying_->description() : std::string("unknown error"));
    case Case::invalidOutput:
        return "hdiutil attached the disk image but its output could not be read.";
    }
    return {};
}

std::optional<std::string> MountDMGError::failureReason() const
{
    if (underlying_)
        return underlying_->failureReason();
    return std::nullopt;
}

} // namespace tavik::service
