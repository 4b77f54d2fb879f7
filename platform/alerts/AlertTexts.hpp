#pragma once

// The texts the alert presenters show, in English; translations are looked
// up by these texts as keys.
namespace tavik::alerts::texts {

inline constexpr const char* ok = "OK";
// {} is the highest button number.
inline constexpr const char* choosePrompt = "Choose 1-{} (press Enter to dismiss): ";
inline constexpr const char* chooseOnePrompt = "Choose 1 (press Enter to dismiss): ";
inline constexpr const char* notAChoice = "Please type the number of a choice, or press Enter to dismiss.";

// The translation of a text, or the text itself.
const char* localized(const char* key);

} // namespace tavik::alerts::texts
