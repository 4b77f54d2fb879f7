#include "Tavik/file-handling/FileHandler.hpp"

#include "Tavik/file-handling/FileHandling.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

#include <fmt/format.h>

namespace tavik {

// FileOutcome

std::string FileHandler::FileOutcome::describe(const std::vector<URL>& urls)
{
    std::string text = "[";
    for (size_t i = 0; i < urls.size(); ++i)
        text += (i ? ", " : "") + urls[i].description();
    return text + "]";
}

std::string FileHandler::FileOutcome::description() const
{
    return std::visit(
        [](const auto& value) -> std::string {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Completed>)
                return "completed(" + describe(value.copiedApplications) + ")";
            else if constexpr (std::is_same_v<T, Failed>)
                return "error(" + (value.error ? value.error->description() : std::string()) + ")";
            else if constexpr (std::is_same_v<T, Ignored>)
                return "ignored";
            else
                return "dismissed";
        },
        value);
}

// FileHandler::Error

FileHandler::Error::Error(Code code, std::string payload, FileType fileType)
    : code_(code)
    , payload_(std::move(payload))
    , fileType_(std::move(fileType))
{
}

ErrorPtr FileHandler::Error::missingResourceValue(std::string resourceKey)
{
    return std::make_shared<const Error>(Code::missingResourceValue, std::move(resourceKey), FileType::unsupported({}));
}

ErrorPtr FileHandler::Error::unsupportedFileType(FileType fileType)
{
    return std::make_shared<const Error>(Code::unsupportedFileType, std::string(), std::move(fileType));
}

ErrorPtr FileHandler::Error::unknownUserInputResponse(std::string identifier)
{
    return std::make_shared<const Error>(Code::unknownUserInputResponse, std::move(identifier), FileType::unsupported({}));
}

ErrorPtr FileHandler::Error::configurationDoesNotIncludeDestination()
{
    return std::make_shared<const Error>(Code::configurationDoesNotIncludeDestination, std::string(), FileType::unsupported({}));
}

ErrorPtr FileHandler::Error::failedToCastXPCService()
{
    return std::make_shared<const Error>(Code::failedToCastXPCService, std::string(), FileType::unsupported({}));
}

std::string FileHandler::Error::description() const
{
    switch (code_) {
    case Code::missingResourceValue:
        return fmt::format("The file system returned no value for {}", payload_);
    case Code::unsupportedFileType:
        return fmt::format("Files of type {} are not supported", fileType_.rawValue());
    case Code::unknownUserInputResponse:
        return fmt::format("Unknown response to file found notification: {}", payload_);
    case Code::configurationDoesNotIncludeDestination:
        return "No destination folder is set for this source";
    case Code::failedToCastXPCService:
        return "Could not connect to the disk image service";
    }
    return "Unknown file handler error";
}

// FileHandler

FileHandler::FileHandler(std::shared_ptr<ApplicationsDestinationManager> applicationsDestinationManager, log::Logger log)
    : FileHandler(std::move(applicationsDestinationManager), std::move(log), Services {})
{
}

FileHandler::FileHandler(std::shared_ptr<ApplicationsDestinationManager> applicationsDestinationManager, log::Logger log, Services services)
    : applicationsDestinationManager(std::move(applicationsDestinationManager))
    , log(std::move(log))
    , services_(std::move(services))
    , inFlight_(std::make_shared<dispatch::DispatchGroup>())
{
}

void FileHandler::handleFile(URL fileURL, FileSourceConfigurationPtr configuration, Completion completion)
{
    inFlight_->enter();
    std::shared_ptr<void> inFlight(nullptr, [group = inFlight_](void*) { group->leave(); });
    FileHandling::Handler handler {std::weak_ptr<const FileHandler>(shared_from_this()), log, services_, applicationsDestinationManager};
    dispatch::DispatchQueue::global()->async(
        [handler = std::move(handler), fileURL = std::move(fileURL), configuration = std::move(configuration),
            completion = std::move(completion), inFlight = std::move(inFlight)]() mutable {
            FileHandling::start(std::move(handler), std::move(fileURL), std::move(configuration), std::move(completion),
                std::move(inFlight));
        });
}

bool FileHandler::waitUntilIdle(std::chrono::milliseconds timeout) const
{
    return inFlight_->waitFor(timeout);
}

} // namespace tavik
