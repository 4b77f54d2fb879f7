#pragma once

#include "Tavik/file-handling/AppImageInstallation.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/log/Logger.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <vector>

namespace tavik {

class FolderEventReader;

// Keeps the launcher entries of installed AppImages in step with the
// destination folders: watches each folder and, when an item is removed or
// moved away from one, removes the entries whose AppImage is gone.
class LauncherEntryKeeper : public std::enable_shared_from_this<LauncherEntryKeeper> {
public:
    static std::shared_ptr<LauncherEntryKeeper> make(AppImageInstallation installation, log::Logger log);
    ~LauncherEntryKeeper();

    // Watches exactly these folders from now on.
    void watch(const std::vector<std::filesystem::path>& folders);
    // Removes the entries whose AppImage is gone now (on the keeper's queue;
    // done is called there afterwards).
    void removeStaleEntries(std::function<void(std::size_t)> done = {});

private:
    LauncherEntryKeeper(AppImageInstallation installation, log::Logger log);
    // On queue_ only.
    void readEvents(const std::filesystem::path& folder);

    AppImageInstallation installation_;
    log::Logger log_;
    std::shared_ptr<dispatch::DispatchQueue> queue_;
    // Only touched on queue_.
    std::map<std::filesystem::path, std::unique_ptr<FolderEventReader>> readers_;
};

} // namespace tavik
