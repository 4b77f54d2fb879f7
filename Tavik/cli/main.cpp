// tavik: the application's command line. Each group of commands adds itself
// to the app; the one the arguments name runs and gives the exit status.
#include "Tavik/cli/RunCommands.hpp"
#include "Tavik/cli/SettingsCommands.hpp"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

int main(int argc, char** argv)
{
    CLI::App app("Tavik installs the applications in downloaded AppImages, tar archives (.tar.gz, .tar.xz, .tar.bz2, "
                 ".tar.zst), ZIP archives and disk images, and opens .deb, .rpm and installer packages where they lie.",
        "tavik");
    app.set_version_flag("--version", "tavik 0.1.0");
    app.footer(tavik::cli::settingsCommandsHelp());

    int status = tavik::cli::exitSuccess;
    tavik::cli::addSettingsCommands(app, status);
    tavik::cli::addRunCommands(app, argc, argv);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        return app.exit(version);
    } catch (const CLI::RuntimeError& finished) {
        // A run command ended with this status.
        return finished.get_exit_code();
    } catch (const CLI::ParseError& error) {
        // Bad arguments get one line and change nothing.
        fmt::print(stderr, "tavik: {} (see tavik --help)\n", error.what());
        return tavik::cli::exitBadInput;
    }
    return status;
}
