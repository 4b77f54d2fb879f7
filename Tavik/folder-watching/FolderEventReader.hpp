#pragma once

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
        created,            // an entry was created in the folder
        removed,            // an entry was deleted
        movedIn,            // an entry was renamed into the folder (or within it, under its new name)
        movedOut,           // an entry was renamed away (or within the folder, under its old name)
        closedAfterWriting, // a file in the folder that was open for writing was closed
        eventsLost,         // the kernel's queue overflowed; anything may have changed
    };
    Kind kind;
    std::string name;
    bool isDirectory = false;
};

// Watches one folder with inotify. A thread of its own sleeps in poll() on
// the inotify descriptor and hands each batch of events it reads to the
// delivery function; nothing runs while the folder is quiet. Destruction
// stops and joins the thread, so no delivery happens after it.
class FolderEventReader {
public:
    using Delivery = std::function<void(std::vector<FolderEvent>)>;

    // Starts watching. On failure returns null and sets errorNumber.
    static std::unique_ptr<FolderEventReader> open(const std::filesystem::path& folder, int& errorNumber);
    ~FolderEventReader();
    FolderEventReader(const FolderEventReader&) = delete;
    FolderEventReader& operator=(const FolderEventReader&) = delete;

    // Starts the reading thread. Events that happened since open() are
    // delivered first.
    void start(Delivery delivery);

private:
    FolderEventReader(int inotifyDescriptor, int wakeDescriptor);
    void readUntilStopped(const Delivery& delivery);

    int inotifyDescriptor_;
    int wakeDescriptor_;
    std::thread thread_;
};

} // namespace tavik
