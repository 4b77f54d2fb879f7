#include "platform/testing/Catalogue.hpp"

#include "platform/testing/Files.hpp"
#include "platform/testing/Programs.hpp"

#include <iomanip>
#include <sstream>

namespace tavik::testing {

bool writeCatalogue(const std::filesystem::path& folder, const std::string& language,
    const std::vector<std::pair<std::string, std::string>>& translations)
{
    std::ostringstream source;
    source << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n";
    for (const auto& [english, translation] : translations)
        source << "\nmsgid " << std::quoted(english) << "\nmsgstr " << std::quoted(translation) << "\n";
    auto messages = folder / language / "LC_MESSAGES";
    std::filesystem::create_directories(messages);
    writeFile(messages / "tavik.po", source.str());
    return run({"msgfmt", "-o", (messages / "tavik.mo").string(), (messages / "tavik.po").string()}) == 0;
}

} // namespace tavik::testing
