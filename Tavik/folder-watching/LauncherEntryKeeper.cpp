#include "Tavik/folder-watching/LauncherEntryKeeper.hpp"

#include "platform/dispatch/QueueAssertion.hpp"
#include "platform/folderevents/FolderEventReader.hpp"
#include "platform/foundation/FileError.hpp"

#include <cstring>

namespace tavik {

std::shared_ptr<LauncherEntryKeeper> LauncherEntryKeeper::make(AppImageInstallation installation, log::Logger log)
{
    return std::shared_ptr<LauncherEntryKeeper>(new LauncherEntryKeeper(std::move(installation), std::move(log)));
}

LauncherEntryKeeper::LauncherEntryKeeper(AppImageInstallation installation, log::Logger log)
    : installation_(std::move(installation))
    , log_(std::move(log))
    , queue_(dispatch::DispatchQueue::makeSerial("app.tavik.Tavik.LauncherEntryKeeper"))
{
}

LauncherEntryKeeper::~LauncherEntryKeeper() = default;

void LauncherEntryKeeper::watch(const std::vector<std::filesystem::path>& folders)
{
    std::weak_ptr<LauncherEntryKeeper> weakSelf = weak_from_this();
    queue_->async([weakSelf, folders] {
        auto self = weakSelf.lock();
        if (!self)
            return;
        std::map<std::filesystem::path, std::unique_ptr<FolderEventReader>> readers;
        for (const auto& folder : folders) {
            if (auto kept = self->readers_.find(folder); kept != self->readers_.end()) {
                readers[folder] = std::move(kept->second);
                continue;
            }
            auto opened = FolderEventReader::open(folder);
            if (!opened) {
                self->log_.error("Failed to watch {} for removed AppImages: {}", folder.string(),
                    std::strerror(errnoOf(opened.error())));
                continue;
            }
            auto reader = std::move(*opened);
            // The doorbell holds the queue, not the keeper: the keeper is
            // never released (and its readers joined) on a reader's thread.
            reader->start([queue = self->queue_, weakSelf, folder] {
                queue->async([weakSelf, folder] {
                    if (auto owner = weakSelf.lock())
                        owner->readEvents(folder);
                });
            });
            readers[folder] = std::move(reader);
        }
        // Readers of folders no longer known stop here, on the queue that reads them.
        self->readers_ = std::move(readers);
    });
}

void LauncherEntryKeeper::readEvents(const std::filesystem::path& folder)
{
    TAVIK_ASSERT_ON_QUEUE(queue_);
    auto reader = readers_.find(folder);
    if (reader == readers_.end())
        return;
    bool removed = false;
    for (const auto& event : reader->second->readEvents())
        removed = removed || event.kind == FolderEvent::Kind::removed || event.kind == FolderEvent::Kind::movedOut
            || event.kind == FolderEvent::Kind::eventsLost;
    reader->second->rearm();
    if (removed) {
        if (auto count = installation_.removeStaleEntries())
            log_.info("Removed {} launcher entries of AppImages that are gone", count);
    }
}

void LauncherEntryKeeper::removeStaleEntries(std::function<void(std::size_t)> done)
{
    std::weak_ptr<LauncherEntryKeeper> weakSelf = weak_from_this();
    queue_->async([weakSelf, done = std::move(done)] {
        auto self = weakSelf.lock();
        if (!self)
            return;
        auto count = self->installation_.removeStaleEntries();
        if (count)
            self->log_.info("Removed {} launcher entries of AppImages that are gone", count);
        if (done)
            done(count);
    });
}

} // namespace tavik
