#pragma once

#include "platform/foundation/Result.hpp"

#include <chrono>
#include <cstddef>
#include <string>

namespace tavik::updater {

// Reads a release feed from a file: or https: URL (redirects only to
// https:), at most `maxBytes` and within `timeout`. Anything else, a
// failed transfer, an HTTP error status or a longer feed is an
// UpdaterError (invalidFeedURL or feedUnreadable).
class FeedLoader {
public:
    static constexpr size_t defaultMaxBytes = 1 << 20;

    static bool isSupportedURL(const std::string& url);
    static Result<std::string> load(const std::string& url, size_t maxBytes = defaultMaxBytes,
        std::chrono::seconds timeout = std::chrono::seconds(30));
};

} // namespace tavik::updater
