#pragma once

#include <span>
#include <string_view>

namespace tavik::strings {

struct StringTableEntry {
    std::string_view key;
    std::string_view english;
    std::string_view comment; // for translators
};

// Every localized key with its English text, in StringTable.cpp.
std::span<const StringTableEntry> stringTable();

} // namespace tavik::strings
