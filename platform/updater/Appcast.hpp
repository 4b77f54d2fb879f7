#pragma once

// A release feed: an RSS 2.0 document whose channel lists one <item> per
// release. An item names its version in a <version> element or in a
// version attribute of its <enclosure> (any namespace prefix), its
// human-readable version in <shortVersionString> likewise, and a page for
// it in <link> (else the enclosure's url). Only https links are kept.

#include "platform/foundation/Result.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavik::updater {

struct AppcastItem {
    std::string title;
    std::string version;
    std::string displayVersion; // the short version, else the version
    std::optional<std::string> link;

    bool operator==(const AppcastItem&) const = default;
};

struct Appcast {
    std::vector<AppcastItem> items;

    // Fails (UpdaterError feedMalformed) for text that is not XML, a
    // document with a DTD, no RSS channel, or an item without a version.
    static Result<Appcast> parse(std::string_view xml);

    // The item of the highest version above `hostVersion`, if any.
    std::optional<AppcastItem> newestItemNewerThan(std::string_view hostVersion) const;
};

} // namespace tavik::updater
