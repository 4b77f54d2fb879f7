#include "platform/updater/UpdaterError.hpp"

namespace tavik::updater {

std::string UpdaterError::description() const
{
    switch (errorCode()) {
    case Code::invalidFeedURL:
        return "The update feed address is not valid: " + detail();
    case Code::noUpdateFound:
        return "No update is available.";
    case Code::feedUnreadable:
        return "The update feed could not be read: " + detail();
    case Code::feedMalformed:
        return "The update feed is not valid: " + detail();
    }
    return detail();
}

std::optional<std::string> UpdaterError::failureReason() const
{
    switch (errorCode()) {
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
