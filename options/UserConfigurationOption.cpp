#include "options/UserConfigurationOption.hpp"

#include "platform/strings/LocalizedString.hpp"

namespace tavik::options {

std::string optionTitle(const OptionCase& row)
{
    if (row.titleIsLocalizedKey)
        return strings::localizedString(row.title);
    return std::string(row.title);
}

} // namespace tavik::options
