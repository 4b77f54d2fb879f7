#pragma once

// The texts of the questions the copy and open actions put to the user,
// looked up as localized user-notification strings.

#include "platform/foundation/URL.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace tavik::questions {

// Fills each "%@" of a localized text with the next argument, in order; the
// arguments themselves are not searched for placeholders.
std::string formatted(std::string_view text, const std::vector<std::string>& arguments);

// The item's file name without its extension: "Example" for Example.app.
std::string displayName(const URL& url);

std::string foundApplicationTitle();
std::string applicationExistsTitle();
std::string copiedApplicationTitle();
// "Choose how to handle Example"
std::string chooseHowToHandleBody(const URL& item);
// "Choose how to handle copying Example to /path/to/Example.app"
std::string applicationExistsBody(const URL& item, const URL& target);

} // namespace tavik::questions
