#include "Tavik/prompts/PromptTexts.hpp"

#include <libintl.h>

namespace tavik::prompts::texts {

std::string localizedUserNotificationString(const char* key)
{
    return dgettext("tavik", key);
}

} // namespace tavik::prompts::texts
