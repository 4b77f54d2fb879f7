#pragma once

#include "Tavik/file-handling/FileHandler.hpp"
#include "platform/testing/Recorder.hpp"

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
        calls_.add({std::move(fileURL), std::move(configuration), std::move(completion)});
    }
    std::vector<Call> calls() const { return calls_.all(); }

private:
    Recorder<Call> calls_;
};

} // namespace tavik::testing
