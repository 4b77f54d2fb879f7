#include "platform/updater/UpdaterError.hpp"

namespace tavik::updater {

UpdaterError::UpdaterError(Code code, std::string detail)
    : code_(code)
    , detail_(std::move(detail))
{
}

std::string UpdaterError::description() const
{
    switch (code_) {
    case Code::invalidFeedURL:
        return "The update feed address is not valid: " + detail_;
    case Code::noUpdateFound:
        return "No update is available.";
    case Code::feedUnreadable:
        return "The update feed could not be read: " + detail_;
    case Code::feedMalformed:
        return "The update feed is not valid: " + detail_;
    }
    return detail_;
}

std::optional<std::string> UpdaterError::failureReason() const
{
    switch (code_) {
    case Code::feedUnreadable:
        return "Check your network connection and try again later.";
    case Code::invalidFeedURL:
    case Code::feedMalformed:
        return "Updates cannot be checked until the feed is fixed.";
    case Code::noUpdateFound:
        break;
    }
    return std::nullopt;
}

} // namespace tavik::updater
