#pragma once

#include <cstddef>
#include <string_view>

// The technical listing that `7zz l -slt` writes: blocks of "Key = value"
// lines describing the image, its partition and its volume, a line of ten
// dashes, then one block per entry of the volume.
namespace tavik::hdiutil::listing {

constexpr std::string_view entriesSeparator = "\n----------\n";

// The blocks before the entries (all of it when there are no entries).
inline std::string_view header(std::string_view listing) { return listing.substr(0, listing.find(entriesSeparator)); }

// The entries' blocks; empty when there are none.
inline std::string_view entries(std::string_view listing)
{
    auto start = listing.find(entriesSeparator);
    return start == std::string_view::npos ? std::string_view() : listing.substr(start + entriesSeparator.size());
}

// Calls `visit` with each line of the text, without its line end ("\n" or "\r\n").
template <typename Visit>
void forEachLine(std::string_view text, Visit visit)
{
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        auto line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        visit(line);
    }
}

} // namespace tavik::hdiutil::listing
