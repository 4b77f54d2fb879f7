#include "Tavik/cli/RunCommands.hpp"

#include <CLI/CLI.hpp>

int main(int argc, char** argv)
{
    CLI::App app("Tavik installs the applications in downloaded disk images, ZIP archives and installer packages.",
        "tavik");
    app.set_version_flag("--version", "tavik 0.1.0");
    tavik::cli::addRunCommands(app);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
