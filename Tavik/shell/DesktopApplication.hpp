#pragma once

// Starting Tavik as a desktop application: whether one can start here, and
// the run itself, from the first window to quitting.

#include <string>
#include <vector>

namespace tavik::shell {

// Whether a display is there and Qt's platform plugin loads. Tried in a
// child process, since Qt ends the process when the plugin cannot load;
// a child that hangs counts as no.
bool isDesktopAvailable(const char* programName);

// Runs until the user quits or quitDesktopApplication is called. Exits 0,
// also when another Tavik already ran and was asked to show its window.
int runDesktopApplication(int argc, char** argv, const std::vector<std::string>& arguments);

// Safe from any thread.
void quitDesktopApplication();

} // namespace tavik::shell
