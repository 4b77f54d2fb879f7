#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <stdexcept>
#include <string>

namespace tavik::cli {

// Exit statuses of the command line.
inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1; // the settings could not be read or written
inline constexpr int exitBadInput = 2; // nothing was changed

// Input the user got wrong (an unknown value, a missing folder, an unknown
// id): reported as one line on standard error with exit status 2.
class BadInput : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A command that could not do its work for another reason: exit status 1.
class CommandFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Runs a command's body and gives its exit status; a BadInput or
// CommandFailure it throws is printed as "tavik: <message>" on standard error.
int runCommand(const std::function<void()>& body);

// Adds the settings commands to the app: `setup` (the first-run setup) and
// `sources` with `list`, `add`, `remove` and `set`. They work on the user
// defaults alone, without a session bus. The one that runs leaves its exit
// status in `status`.
void addSettingsCommands(CLI::App& app, int& status);

// What `tavik --help` says about the settings commands.
std::string settingsCommandsHelp();

} // namespace tavik::cli
