#pragma once

// The commands that run Tavik: the headless application and `open`.

namespace CLI {
class App;
}

namespace tavik::cli {

// Adds `--headless` to the root command and the `open` subcommand. The root
// command's callback runs the application when no subcommand was given.
void addRunCommands(CLI::App& app);

} // namespace tavik::cli
