#pragma once

#include <cstddef>
#include <string_view>

namespace tavik {

// Whether the bytes are well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF. NUL is a character like any other.
bool isValidUTF8(std::string_view bytes);

// The length of the well-formed UTF-8 sequence the bytes start with, or 0
// when they start with none (or are empty).
std::size_t leadingUTF8SequenceLength(std::string_view bytes);

} // namespace tavik
