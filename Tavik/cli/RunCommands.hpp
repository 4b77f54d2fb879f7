#pragma once

// The commands that run Tavik: the application and `open`.

namespace CLI {
class App;
}

namespace tavik::cli {

// Adds `--headless`, `--showPreferences` and `--showIntro` to the root
// command and the `open` subcommand. The root command's callback runs the
// application (desktop or headless) when no subcommand was given; the
// desktop application gets the program name from `argv`.
void addRunCommands(CLI::App& app, int argc, char** argv);

} // namespace tavik::cli
