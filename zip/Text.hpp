#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavik::zip {

// Decodes MS-DOS Latin US (code page 437) bytes into UTF-8 text.
std::string decodeCodePage437(std::string_view bytes);

// The data of the first extra-field block with this header id, if any.
std::optional<std::string_view> findExtraField(std::string_view extraField, uint16_t headerID);

} // namespace tavik::zip
