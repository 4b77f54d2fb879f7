#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavik::strings {

// Texts shown to the user are looked up by key in one string table that
// holds the English text of every key. Translations come from the gettext
// catalogue "tavik", whose message ids are those English texts; its folder
// is $TAVIK_LOCALEDIR when set, else the installed locale folder.
//
// The text for the key in the user's language: the translation when the
// catalogue has one, else the English text; a key the table does not know
// is returned as it is.
std::string localizedString(std::string_view key);

// The table's English text for the key, if it has the key.
std::optional<std::string_view> englishText(std::string_view key);

} // namespace tavik::strings
