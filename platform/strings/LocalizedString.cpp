#include "platform/strings/LocalizedString.hpp"

#include "platform/strings/StringTable.hpp"

#include <cstdlib>
#include <libintl.h>
#include <mutex>

#ifndef TAVIK_LOCALEDIR
#define TAVIK_LOCALEDIR "/usr/local/share/locale"
#endif

namespace tavik::strings {

namespace {

constexpr const char* textDomain = "tavik";

void bindCatalogue()
{
    static std::once_flag once;
    std::call_once(once, [] {
        const char* folder = std::getenv("TAVIK_LOCALEDIR");
        bindtextdomain(textDomain, folder && *folder ? folder : TAVIK_LOCALEDIR);
        bind_textdomain_codeset(textDomain, "UTF-8");
    });
}

} // namespace

std::optional<std::string_view> englishText(std::string_view key)
{
    for (const auto& entry : stringTable()) {
        if (entry.key == key)
            return entry.english;
    }
    return std::nullopt;
}

std::string localizedString(std::string_view key)
{
    auto english = englishText(key);
    if (!english)
        return std::string(key);
    bindCatalogue();
    std::string messageId(*english);
    return dgettext(textDomain, messageId.c_str());
}

} // namespace tavik::strings
