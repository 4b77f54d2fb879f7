#pragma once

#include "platform/foundation/Result.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tavik {

// One change in a watched folder, as the kernel reported it.
struct FolderEvent {
    enum class Kind {
        created, // an entry was created in the folder
        removed, // an entry was deleted
        movedIn, // an entry was renamed into the folder (or within it, under its new name)
        movedOut, // an entry was renamed away (or within the folder, under its old name)
        closedAfterWriting, // a file in the folder that was open for writing was closed
        folderMoved, // the watched folder itself was renamed (the watch follows it)
        eventsLost, // the kernel's queue overflowed; anything may have changed
    };
    Kind kind;
    std::string name;
    bool isDirectory = false;
};

// Watches one folder with inotify. Events are read on the caller's queue, so
// that the caller can pick up the events of changes it has just seen; a
// thread of the reader's own sleeps in epoll_wait() until events are waiting
// and then rings the doorbell once, until the caller re-arms it. Nothing
// runs while the folder is quiet. Destruction stops the thread and waits for
// it, so the doorbell never rings after it. A reader released from within its
// own doorbell cannot wait for its thread: that thread ends as soon as the
// doorbell returns.
class FolderEventReader {
public:
    using Doorbell = std::function<void()>;

    // Starts watching; a failure is a FileError with the errno behind it.
    static Result<std::unique_ptr<FolderEventReader>> open(const std::filesystem::path& folder);
    ~FolderEventReader();
    FolderEventReader(const FolderEventReader&) = delete;
    FolderEventReader& operator=(const FolderEventReader&) = delete;

    // Starts the waiting thread. The doorbell rings on that thread when
    // events are waiting, at once if some already are.
    void start(Doorbell doorbell);
    // Every event waiting now, in order, without blocking. Call from one
    // queue (or thread) only.
    std::vector<FolderEvent> readEvents();
    // Lets the doorbell ring again once events are waiting.
    void rearm();

private:
    // Shared with the waiting thread, which may outlive the reader.
    struct Descriptors;
    explicit FolderEventReader(std::shared_ptr<Descriptors> descriptors);
    static void waitUntilStopped(const Descriptors& descriptors, const Doorbell& doorbell);

    std::shared_ptr<Descriptors> descriptors_;
    std::thread thread_;
};

} // namespace tavik
