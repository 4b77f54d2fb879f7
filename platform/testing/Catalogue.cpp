#include "platform/testing/Catalogue.hpp"

#include "platform/testing/Files.hpp"
#include "platform/testing/Programs.hpp"

namespace tavik::testing {

namespace {

std::string quoted(const std::string& text)
{
    std::string result = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            result += '\\';
        result += c;
    }
    return result + "\"";
}

} // namespace

bool writeCatalogue(const std::filesystem::path& folder, const std::string& language,
    const std::vector<std::pair<std::string, std::string>>& translations)
{
    std::string source = "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n";
    for (const auto& [english, translation] : translations)
        source += "\nmsgid " + quoted(english) + "\nmsgstr " + quoted(translation) + "\n";
    auto messages = folder / language / "LC_MESSAGES";
    std::filesystem::create_directories(messages);
    writeFile(messages / "tavik.po", source);
    return run({"msgfmt", "-o", (messages / "tavik.mo").string(), (messages / "tavik.po").string()}) == 0;
}

} // namespace tavik::testing
