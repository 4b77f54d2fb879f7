#pragma once

#include "Tavik/configuration/ApplicationDockIconMenuBarOption.hpp"
#include "persistence/Persister.hpp"

namespace tavik::AppPreferences {

// The application-wide settings, each a persister over the standard user
// defaults made on first use; a value missing or unreadable reads as the
// default and nothing is written for it.

// "hasRunInitialSetup", a Boolean; false until the first-run setup is done.
const persistence::Persister<bool>& hasRunInitialSetup();

// "applicationDockIconMenuBarOption", the option's raw string; menuBarOnly by default.
const persistence::Persister<ApplicationDockIconMenuBarOption>& applicationDockIconMenuBarOption();

} // namespace tavik::AppPreferences
