#pragma once

#include "Tavik/file-handling/FileHandler.hpp"

#include <mutex>
#include <vector>

namespace tavik::testing {

// Records the files handed over; the test decides each outcome.
class RecordingFileHandler final : public FileHandler {
public:
    struct Call {
        URL url;
        FileSourceConfigurationPtr configuration;
        Completion completion;
    };

    explicit RecordingFileHandler(std::shared_ptr<ApplicationsDestinationManager> destinations)
        : FileHandler(std::move(destinations), log::Logger("app.tavik.Tavik", "File Handler"))
    {
    }
    void handleFile(URL fileURL, FileSourceConfigurationPtr configuration, Completion completion) override
    {
        std::lock_guard lock(mutex_);
        calls_.push_back({std::move(fileURL), std::move(configuration), std::move(completion)});
    }
    std::vector<Call> calls() const
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

} // namespace tavik::testing
