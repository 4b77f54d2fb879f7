#pragma once

// The application's updater as the rest of the application sees it: created
// with a delegate, started (which can fail), asked to check now. Until a real
// updater is built, NoOpUpdater stands in and never finds an update.

#include "platform/foundation/Error.hpp"
#include "platform/foundation/Result.hpp"

#include <chrono>
#include <memory>
#include <string>

namespace tavik {

// The error a scheduled check ends with when it found no update.
inline constexpr const char* updaterErrorDomain = "app.tavik.Updater";
inline constexpr int noUpdateErrorCode = 1001;

class UpdaterDelegate {
public:
    virtual ~UpdaterDelegate() = default;
    virtual bool updaterShouldPromptForPermissionToCheckForUpdates() = 0;
    virtual void updaterDidAbortWithError(const ErrorPtr& error) = 0;
    virtual void updaterDidNotFindUpdate() = 0;
    virtual void updaterWillScheduleUpdateCheckAfterDelay(std::chrono::seconds delay) = 0;
    virtual void updaterDidFindValidUpdate(const std::string& displayVersion) = 0;
    virtual void updaterWillDownloadUpdate(const std::string& displayVersion) = 0;
    virtual void updaterFailedToDownloadUpdate(const std::string& displayVersion, const ErrorPtr& error) = 0;
    virtual void updaterScheduledUpdateCheckDidAbortWithError(const ErrorPtr& error) = 0;
    virtual void standardUserDriverWillShowModalAlert() = 0;
    virtual void standardUserDriverDidShowModalAlert() = 0;
};

class Updater {
public:
    virtual ~Updater() = default;
    virtual Result<void> startUpdater() = 0;
    virtual void checkForUpdates() = 0;
};

// Starts without error and answers every check with "no update found".
class NoOpUpdater final : public Updater {
public:
    explicit NoOpUpdater(std::weak_ptr<UpdaterDelegate> delegate)
        : delegate_(std::move(delegate))
    {
    }
    Result<void> startUpdater() override { return {}; }
    void checkForUpdates() override
    {
        if (auto delegate = delegate_.lock())
            delegate->updaterDidNotFindUpdate();
    }

private:
    std::weak_ptr<UpdaterDelegate> delegate_;
};

} // namespace tavik
