#include "Tavik/file-handling/QuestionTexts.hpp"

#include "platform/strings/LocalizedString.hpp"

#include <filesystem>

namespace tavik::questions {

namespace {

std::string localized(const char* key)
{
    return strings::localizedString(key);
}

} // namespace

std::string formatted(std::string_view text, const std::vector<std::string>& arguments)
{
    constexpr std::string_view placeholder = "%@";
    std::string result;
    size_t next = 0;
    for (;;) {
        auto found = text.find(placeholder);
        if (found == std::string_view::npos || next == arguments.size()) {
            result += text;
            return result;
        }
        result += text.substr(0, found);
        result += arguments[next++];
        text.remove_prefix(found + placeholder.size());
    }
}

std::string displayName(const URL& url)
{
    return std::filesystem::path(url.lastPathComponent()).stem().string();
}

std::string foundApplicationTitle()
{
    return localized("Found Application");
}

std::string applicationExistsTitle()
{
    return localized("Application exists");
}

std::string copiedApplicationTitle()
{
    return localized("Copied Application");
}

std::string chooseHowToHandleBody(const URL& item)
{
    return formatted(localized("Choose how to handle %@"), {displayName(item)});
}

std::string applicationExistsBody(const URL& item, const URL& target)
{
    return formatted(localized("Choose how to handle copying %@ to %@"), {displayName(item), target.path().string()});
}

} // namespace tavik::questions
