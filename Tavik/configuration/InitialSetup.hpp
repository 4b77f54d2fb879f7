#pragma once

#include "Tavik/configuration/ApplicationsDestination.hpp"
#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "persistence/Persister.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/foundation/Result.hpp"
#include "platform/foundation/URL.hpp"
#include "platform/foundation/UUID.hpp"

#include <memory>
#include <optional>
#include <string>

namespace tavik {

// What the first-run setup does with the folders the user chooses: the
// destination for applications, then a first folder to watch, then the end of
// the setup. The setup window and `tavik setup` both go through it. Choices
// take effect at once; every step may be repeated.
class InitialSetup {
public:
    static constexpr const char* introApplicationDestinationKey = "Intro_applicationDestination";

    // InitialSetup.Error
    class Error final : public tavik::Error {
    public:
        enum class Case { notAFolder = 0 };
        static ErrorPtr notAFolder(const URL& url);
        Case errorCase() const { return Case::notAFolder; }
        const std::string& path() const { return path_; }
        std::string description() const override;
        std::optional<std::string> failureReason() const override;
        std::string domain() const override { return "InitialSetup.Error"; }
        int code() const override { return static_cast<int>(errorCase()); }

        explicit Error(std::string path)
            : path_(std::move(path))
        {
        }

    private:
        std::string path_;
    };

    // Over the shared managers and the standard user defaults.
    InitialSetup();
    // Over these (tests): the two persisted values live in `userDefaults`.
    InitialSetup(std::shared_ptr<defaults::UserDefaults> userDefaults,
        std::shared_ptr<FileSourceConfigurationsManager> configurationsManager,
        std::shared_ptr<ApplicationsDestinationManager> destinationManager);

    // "Intro_applicationDestination": the destination chosen in this setup.
    const persistence::Persister<std::optional<UUID>>& introApplicationDestination() const { return introApplicationDestination_; }
    // "hasRunInitialSetup".
    const persistence::Persister<bool>& hasRunInitialSetup() const { return hasRunInitialSetup_; }

    // The destination folder was chosen: finds or creates its destination,
    // remembers it as this setup's destination and gives it to every source
    // that has none yet. Fails when the URL is not an existing folder, or
    // with the error of bookmarking or storing.
    Result<ApplicationsDestinationPtr> destinationChosen(const URL& folder);

    // The folder to watch was chosen: a source already watching it (also
    // through a symbolic link) gets this setup's destination and nothing is
    // added; otherwise a folder source with that destination is added. Gives
    // the source either way.
    Result<FileSourceConfigurationPtr> watchFolderChosen(const URL& folder);

    // The setup is done: sets "hasRunInitialSetup" and forgets this setup's destination.
    Result<void> finish();

private:
    std::shared_ptr<FileSourceConfigurationsManager> configurationsManager_;
    std::shared_ptr<ApplicationsDestinationManager> destinationManager_;
    persistence::Persister<std::optional<UUID>> introApplicationDestination_;
    persistence::Persister<bool> hasRunInitialSetup_;
};

} // namespace tavik
