#pragma once

#include "platform/foundation/CodedError.hpp"

#include <string>

namespace tavik::updater {

enum class UpdaterErrorCode {
    // The feed URL is missing, not a URL, or of a scheme other than file: or https:.
    invalidFeedURL = 4,
    // The check went through and found nothing newer (not a failure).
    noUpdateFound = 1001,
    // The feed could not be read (not there, network, too large).
    feedUnreadable = 2001,
    // The feed is not a release feed we can read.
    feedMalformed = 2002,
};

// Why an update check ended without an update to offer.
class UpdaterError final : public DetailedCodedError<UpdaterError, UpdaterErrorCode> {
public:
    using DetailedCodedError::DetailedCodedError;

    std::string description() const override;
    std::optional<std::string> failureReason() const override;
    std::string domain() const override { return domainName; }

    static constexpr const char* domainName = "app.tavik.Updater";
};

inline bool isUpdaterError(const ErrorPtr& error, UpdaterError::Code code) { return UpdaterError::is(error, code); }

} // namespace tavik::updater
