#pragma once

#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"
#include "platform/workspace/RunningApplication.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavik {

// How to open an application; the default opens it plainly.
struct OpenConfiguration {
    // Handed to the application's program after its own name.
    std::vector<std::string> arguments;
};

// Opens applications and documents. An application bundle (a folder whose
// name ends in ".app") is opened by running its executable,
// Contents/MacOS/<CFBundleExecutable> from Contents/Info.plist; anything
// else (an installer package, a document, a folder) with xdg-open, which
// hands it to the desktop's program for it. The program runs detached: in
// a session of its own, reading from /dev/null, in the root folder, with
// none of our other open files. Nothing at the URL is a FileError; a
// bundle that cannot be run is a WorkspaceError.
class Workspace {
public:
    // Called with the running application, or with nothing and the error.
    using OpenCompletion = std::function<void(RunningApplicationPtr, ErrorPtr)>;

    virtual ~Workspace() = default;
    static std::shared_ptr<Workspace> shared();

    // Starts the program and calls the completion before returning.
    virtual void openApplication(const URL& url, const OpenConfiguration& configuration, OpenCompletion completion);

    Result<RunningApplicationPtr> open(const URL& url, const OpenConfiguration& configuration = {});

    // Runs a program file (not a bundle) detached, the same way.
    Result<RunningApplicationPtr> launchProgram(const std::filesystem::path& executable, const OpenConfiguration& configuration = {});
};

} // namespace tavik
