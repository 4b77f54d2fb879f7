#pragma once

#include "platform/plist/PropertyList.hpp"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The binary property-list format ("bplist00"): objects, an offset table and
// a trailer. Our own coder, because the library's binary reader is quadratic
// in the number of objects (seconds for a 10,000-entry array).
namespace tavik::plist::binary {

std::string encode(const PropertyList& value);

// Receives the encoded bytes piece by piece; returns false to report a failure.
using Sink = std::function<bool(std::string_view bytes)>;
// Encodes without holding the whole encoding in memory; false when the sink failed.
bool encode(const PropertyList& value, const Sink& sink);

// Nothing when the bytes are not a well-formed binary property list (or use
// what PropertyList cannot hold: UIDs, null, sets); the reason in `problem`.
std::optional<PropertyList> decode(std::string_view bytes, std::string* problem = nullptr);

} // namespace tavik::plist::binary
