// tavik-launcher: the login item. The autostart entry that "Launch at login"
// writes runs it; it starts Tavik unless Tavik already runs and ends once
// Tavik has told it to, or after 15 seconds.

#include "launcher/Launcher.hpp"

#include <CLI/CLI.hpp>


namespace {

std::filesystem::path ownExecutable()
{
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app("Starts Tavik at login unless it already runs, and ends when Tavik tells it to.", "tavik-launcher");
    tavik::launcher::LauncherOptions options;
    std::string tavik;
    int timeoutSeconds = static_cast<int>(options.quitTimeout.count());
    app.add_option("--tavik", tavik, "The tavik program to start (default: beside this program, else <prefix>/bin/tavik)");
    app.add_option("--timeout", timeoutSeconds, "Seconds to wait for Tavik to answer")->check(CLI::Range(1, 3600));
    CLI11_PARSE(app, argc, argv);

    options.tavikExecutable = tavik.empty() ? tavik::launcher::tavikExecutableFor(ownExecutable()) : std::filesystem::path(tavik);
    options.quitTimeout = std::chrono::seconds(timeoutSeconds);
    return tavik::launcher::exitStatus(tavik::launcher::runLauncher(options));
}
