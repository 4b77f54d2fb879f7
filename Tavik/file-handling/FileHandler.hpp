#pragma once

// Takes each downloaded or dropped file and hands it to a FileHandling of its
// own, which carries it through the whole job: classify it, ask or announce as
// its source is configured, search it, copy and open what was found, report
// one outcome, then detach the images it attached and move the download to
// the trash.

#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/FileSourceConfiguration.hpp"
#include "Tavik/file-handling/FileType.hpp"
#include "platform/foundation/Error.hpp"
#include "platform/foundation/URL.hpp"
#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/log/Logger.hpp"
#include "service-protocol/DuvrinXPCConnection.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace tavik {

class UserInputRequestPerformer;

class FileHandler : public std::enable_shared_from_this<FileHandler> {
public:
    // The single report about one file.
    struct FileOutcome {
        struct Completed {
            std::vector<URL> copiedApplications;
        };
        struct Failed {
            ErrorPtr error;
        };
        struct Ignored {};
        struct Dismissed {};
        using Value = std::variant<Completed, Failed, Ignored, Dismissed>;

        static FileOutcome completed(std::vector<URL> copiedApplications) { return {Completed {std::move(copiedApplications)}}; }
        static FileOutcome error(ErrorPtr error) { return {Failed {std::move(error)}}; }
        static FileOutcome ignored() { return {Ignored {}}; }
        static FileOutcome dismissed() { return {Dismissed {}}; }

        bool isCompleted() const { return std::holds_alternative<Completed>(value); }
        // The error of a failed outcome, else null.
        ErrorPtr failure() const
        {
            auto* failed = std::get_if<Failed>(&value);
            return failed ? failed->error : nullptr;
        }
        // "completed([...])", "error(...)", "ignored", "dismissed".
        std::string description() const;
        // "[url, url]", as description() and the handler's log list URLs.
        static std::string describe(const std::vector<URL>& urls);

        Value value;
    };

    class Error final : public tavik::Error {
    public:
        enum class Code {
            missingResourceValue,
            unsupportedFileType,
            unknownUserInputResponse,
            configurationDoesNotIncludeDestination,
            failedToCastXPCService,
        };

        static ErrorPtr missingResourceValue(std::string resourceKey);
        static ErrorPtr unsupportedFileType(FileType fileType);
        static ErrorPtr unknownUserInputResponse(std::string identifier);
        static ErrorPtr configurationDoesNotIncludeDestination();
        static ErrorPtr failedToCastXPCService();

        Error(Code code, std::string payload, FileType fileType);

        Code errorCode() const { return code_; }
        // The resource key or the answer's identifier.
        const std::string& payload() const { return payload_; }
        // The type of an unsupportedFileType error.
        const FileType& fileType() const { return fileType_; }

        std::string description() const override;
        std::string domain() const override { return "app.tavik.Tavik.FileHandler.Error"; }
        int code() const override { return static_cast<int>(code_); }

    private:
        Code code_;
        std::string payload_;
        FileType fileType_;
    };

    using Completion = std::function<void(FileOutcome)>;

    // What the handler reaches outside itself. The defaults are the real ones;
    // tests put in a service on a private bus or their own question performer.
    struct Services {
        // The disk image service's name on the session bus.
        std::string diskImageServiceName = "app.tavik.DuvrinXPC";
        // Opens a new connection and returns its proxy (null when it yields
        // none); empty means a DuvrinXPCConnection to diskImageServiceName.
        std::function<std::shared_ptr<service::DuvrinXPCServiceProtocol>(service::ServiceErrorHandler)> connectToDiskImageService;
        // Null means UserInputRequestPerformer::shared().
        std::shared_ptr<UserInputRequestPerformer> userInputRequestPerformer;
        // How long the clean-up waits for the detach replies before it goes
        // on with the trash step regardless. Longer than a detach call may
        // take, so that every detach has answered (or timed out) by then; a
        // working folder is never removed while a detach may still run.
        std::chrono::milliseconds detachTimeout = service::DuvrinXPCConnection::Options {}.unmountTimeout + std::chrono::seconds(10);
    };

    FileHandler(std::shared_ptr<ApplicationsDestinationManager> applicationsDestinationManager, log::Logger log);
    FileHandler(std::shared_ptr<ApplicationsDestinationManager> applicationsDestinationManager, log::Logger log, Services services);
    virtual ~FileHandler() = default;

    // Queues the file's handling on the global queue and returns at once. The
    // completion is called exactly once (also for a source set to ignore its
    // files), from a background thread, before the clean-up (detach, trash)
    // has finished.
    virtual void handleFile(URL fileURL, FileSourceConfigurationPtr configuration, Completion completion);

    // Waits until every file handed over so far is through its clean-up and
    // its open step, or the time is up; tells whether all were. A process
    // that ends after its files calls this first.
    bool waitUntilIdle(std::chrono::milliseconds timeout) const;

    const std::shared_ptr<ApplicationsDestinationManager> applicationsDestinationManager;
    const log::Logger log;

private:
    const Services services_;
    // Entered for each file, left once nothing of its handling remains.
    const std::shared_ptr<dispatch::DispatchGroup> inFlight_;
};

using FileHandlerPtr = std::shared_ptr<FileHandler>;

} // namespace tavik
