#pragma once

// The application's image resources, by the names the rest of the shell uses.

#include "Tavik/configuration/FileSourceConfiguration.hpp"

#include <QIcon>
#include <string>

namespace tavik::shell {

// "App Icon 24pt", "Menu Bar Icon 22pt", "Menu Bar Icon 24pt", or the
// application icon for any other name.
QIcon namedIcon(const std::string& name);
QIcon applicationIcon();
QIcon statusIcon(FileSourceConfiguration::Status status);

} // namespace tavik::shell
