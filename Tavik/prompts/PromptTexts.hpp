#pragma once

#include <string>

// The English texts of the prompts' localization keys, in one place. The
// keys are the English texts themselves.
namespace tavik::prompts::texts {

inline constexpr const char* errorOccurred = "Error Occurred";

inline constexpr const char* findApplications = "Find Applications";
inline constexpr const char* ignore = "Ignore";
inline constexpr const char* copy = "Copy";
inline constexpr const char* overwrite = "Overwrite";
inline constexpr const char* renameAndCopy = "Rename and Copy";
inline constexpr const char* open = "Open";

// The localized user-notification string for a key: its translation, or the
// key itself.
std::string localizedUserNotificationString(const char* key);

} // namespace tavik::prompts::texts
