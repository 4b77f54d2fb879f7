#pragma once

#include "options/UserConfigurationOption.hpp"

namespace tavik::options {

// What to do when a supported file (disk image, ZIP archive, installer
// package) is found.
struct FileFoundActionOptionTable {
    enum Case {
        alwaysAsk,
        searchForApplications,
        ignore
    };
    static constexpr const char* typeName = "FileFoundActionOption";
    static constexpr OptionCase cases[] = {
        {"alwaysAsk", "Always Ask"},
        {"searchForApplications", "Search for Applications"},
        {"ignore", "Ignore"},
    };
};
using FileFoundActionOption = RawStringOption<FileFoundActionOptionTable>;

// What to do with the applications found in a file.
struct ApplicationFoundActionOptionTable {
    enum Case {
        alwaysAsk,
        copyToDestination,
        askWhenMultipleFound
    };
    static constexpr const char* typeName = "ApplicationFoundActionOption";
    static constexpr OptionCase cases[] = {
        {"alwaysAsk", "Always Ask"},
        {"copyToDestination", "Copy to Destination"},
        {"askWhenMultipleFound", "Copy Unless Multiple Applications Are Found"},
    };
};
using ApplicationFoundActionOption = RawStringOption<ApplicationFoundActionOptionTable>;

// What to do once applications were copied.
struct ApplicationCopiedActionOptionTable {
    enum Case {
        alwaysAsk,
        openApp,
        askWhenMultipleCopied
    };
    static constexpr const char* typeName = "ApplicationCopiedActionOption";
    static constexpr OptionCase cases[] = {
        {"alwaysAsk", "Always Ask"},
        {"openApp", "Open App"},
        {"askWhenMultipleCopied", "Open Unless Multiple Applications Are Copied"},
    };
};
using ApplicationCopiedActionOption = RawStringOption<ApplicationCopiedActionOptionTable>;

// What to do with the downloaded file once all of its applications were handled.
struct AllApplicationsHandledActionTable {
    enum Case {
        doNothing,
        moveToTrash
    };
    static constexpr const char* typeName = "AllApplicationsHandledAction";
    static constexpr OptionCase cases[] = {
        {"doNothing", "Do Nothing"},
        {"moveToTrash", "move_to_trash_applications_handle_action", true},
    };
};
using AllApplicationsHandledAction = RawStringOption<AllApplicationsHandledActionTable>;

static_assert(UserConfigurationOption<FileFoundActionOption>);
static_assert(UserConfigurationOption<AllApplicationsHandledAction>);

// The choices a new file source configuration starts with, whatever its source.
inline constexpr FileFoundActionOption defaultFileFoundAction = FileFoundActionOption::searchForApplications;
inline constexpr ApplicationFoundActionOption defaultApplicationFoundAction = ApplicationFoundActionOption::askWhenMultipleFound;
inline constexpr ApplicationCopiedActionOption defaultApplicationCopiedAction = ApplicationCopiedActionOption::askWhenMultipleCopied;
inline constexpr AllApplicationsHandledAction defaultAllApplicationsHandledAction = AllApplicationsHandledAction::moveToTrash;

} // namespace tavik::options
