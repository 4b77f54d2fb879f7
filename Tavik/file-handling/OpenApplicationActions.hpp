#pragma once

// The actions that open copied applications (and found installer packages):
// one at a time through the workspace, and the whole list of a file's copies,
// asking the user first where the source's configuration says so.

#include "Tavik/configuration/FileSourceConfiguration.hpp"
#include "Tavik/file-handling/InstallableApplication.hpp"
#include "actions/FileAction.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/URL.hpp"
#include "platform/log/Logger.hpp"
#include "platform/workspace/RunningApplication.hpp"
#include "platform/workspace/Workspace.hpp"

#include <memory>
#include <string>
#include <vector>

namespace tavik {

// Opens one application and reports the running application. An application
// that had ended before the workspace answered counts as opened when it has
// a launch date. Completes on the thread the workspace answers on.
class OpenApplicationAction : public actions::FileActionBuilders<OpenApplicationAction> {
public:
    using Input = URL;
    using Output = RunningApplicationPtr;

    class Error final : public tavik::Error {
    public:
        enum class Code {
            openError,
            invalidResult,
            untrustedApplication
        };

        // The workspace failed; described by its own error.
        static ErrorPtr openError(ErrorPtr error);
        // The workspace answered with neither an application nor an error.
        static ErrorPtr invalidResult();
        // The application ended without ever having been launched.
        static ErrorPtr untrustedApplication();

        Error(Code code, ErrorPtr underlying);

        Code errorCode() const { return code_; }
        // The workspace's error of an openError, else null.
        const ErrorPtr& underlyingError() const { return underlying_; }

        std::string description() const override;
        std::string domain() const override { return "app.tavik.TavikActions.OpenApplicationAction.Error"; }
        int code() const override { return static_cast<int>(code_); }

    private:
        Code code_;
        ErrorPtr underlying_;
    };

    OpenApplicationAction(std::shared_ptr<Workspace> workspace, log::Logger log);

    void perform(URL url, actions::Completion<Input, Output> completion) const;

    std::shared_ptr<Workspace> workspace;
    log::Logger log;
};

// Opens every copied application of one file. Per URL, the source's
// "application copied" choice (read at that moment) decides whether to open
// at once or to ask the user; "unless multiple" counts the applications that
// were found, not those that were copied. Reports one result per URL, in the
// order they finished. Made with std::make_shared: the question handlers hold
// it weakly.
class OpenApplicationsAction : public std::enable_shared_from_this<OpenApplicationsAction> {
public:
    using Input = std::vector<URL>;
    using Output = std::vector<actions::FileActionResult<URL, RunningApplicationPtr>>;

    OpenApplicationsAction(FileSourceConfigurationPtr fileSource, std::vector<InstallableApplication> foundApplications, log::Logger log);

    // Blocks until every URL is finished (the questions must be answered on
    // other threads).
    void perform(Input urls, actions::Completion<Input, Output> completion) const;

    FileSourceConfigurationPtr fileSource;
    std::vector<InstallableApplication> foundApplications;
    log::Logger log;
};

} // namespace tavik
