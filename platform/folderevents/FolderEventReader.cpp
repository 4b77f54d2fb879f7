#include "platform/folderevents/FolderEventReader.hpp"

#include "platform/foundation/FileDescriptor.hpp"
#include "platform/foundation/FileError.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <future>
#include <optional>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace tavik {

namespace {

// Entry changes, and closes after writing for the progress of files being
// written in place. Writes into a file's content (IN_MODIFY) are not asked for.
constexpr uint32_t watchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE
    | IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;

std::optional<FolderEvent::Kind> kindOf(uint32_t mask)
{
    if (mask & IN_Q_OVERFLOW)
        return FolderEvent::Kind::eventsLost;
    if (mask & IN_CREATE)
        return FolderEvent::Kind::created;
    if (mask & IN_DELETE)
        return FolderEvent::Kind::removed;
    if (mask & IN_MOVED_TO)
        return FolderEvent::Kind::movedIn;
    if (mask & IN_MOVED_FROM)
        return FolderEvent::Kind::movedOut;
    if (mask & IN_CLOSE_WRITE)
        return FolderEvent::Kind::closedAfterWriting;
    if (mask & IN_MOVE_SELF)
        return FolderEvent::Kind::folderMoved;
    return std::nullopt; // IN_IGNORED, IN_UNMOUNT: the watch is gone, nothing more will come
}

} // namespace

struct FolderEventReader::Descriptors {
    FileDescriptor inotify;
    FileDescriptor poll;
    FileDescriptor wake;
};

Result<std::unique_ptr<FolderEventReader>> FolderEventReader::open(const std::filesystem::path& folder)
{
    auto descriptors = std::make_shared<Descriptors>();
    descriptors->inotify = FileDescriptor(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!descriptors->inotify.valid() || inotify_add_watch(descriptors->inotify.get(), folder.c_str(), watchedEvents) < 0)
        return FileError::fromErrno(errno, folder, false);
    descriptors->poll = FileDescriptor(epoll_create1(EPOLL_CLOEXEC));
    descriptors->wake = FileDescriptor(eventfd(0, EFD_CLOEXEC));
    epoll_event inotifyReady {EPOLLIN | EPOLLONESHOT, {.fd = descriptors->inotify.get()}};
    epoll_event wake {EPOLLIN, {.fd = descriptors->wake.get()}};
    if (!descriptors->poll.valid() || !descriptors->wake.valid()
        || epoll_ctl(descriptors->poll.get(), EPOLL_CTL_ADD, descriptors->inotify.get(), &inotifyReady) < 0
        || epoll_ctl(descriptors->poll.get(), EPOLL_CTL_ADD, descriptors->wake.get(), &wake) < 0)
        return FileError::fromErrno(errno, folder, false);
    return std::unique_ptr<FolderEventReader>(new FolderEventReader(std::move(descriptors)));
}

FolderEventReader::FolderEventReader(std::shared_ptr<Descriptors> descriptors)
    : descriptors_(std::move(descriptors))
{
}

FolderEventReader::~FolderEventReader()
{
    if (!thread_.joinable())
        return;
    uint64_t one = 1;
    while (::write(descriptors_->wake.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    // Released by its own doorbell: the thread cannot wait for itself. It
    // holds the descriptors, and ends at the wake-up once the doorbell returns.
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

void FolderEventReader::start(Doorbell doorbell)
{
    // The doorbell may release the reader, whose destructor looks at thread_:
    // it rings only once thread_ holds the thread.
    std::promise<void> assigned;
    thread_ = std::thread([descriptors = descriptors_, doorbell = std::move(doorbell), ready = assigned.get_future()] {
        pthread_setname_np(pthread_self(), "folder-events");
        ready.wait();
        waitUntilStopped(*descriptors, doorbell);
    });
    assigned.set_value();
}

void FolderEventReader::waitUntilStopped(const Descriptors& descriptors, const Doorbell& doorbell)
{
    for (;;) {
        epoll_event ready[2];
        int count = epoll_wait(descriptors.poll.get(), ready, 2, -1);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        bool eventsWaiting = false;
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.fd == descriptors.wake.get())
                return;
            eventsWaiting = true;
        }
        // One-shot: the descriptor stays silent until rearm().
        if (eventsWaiting)
            doorbell();
    }
}

void FolderEventReader::rearm()
{
    epoll_event inotifyReady {EPOLLIN | EPOLLONESHOT, {.fd = descriptors_->inotify.get()}};
    epoll_ctl(descriptors_->poll.get(), EPOLL_CTL_MOD, descriptors_->inotify.get(), &inotifyReady);
}

std::vector<FolderEvent> FolderEventReader::readEvents()
{
    std::vector<FolderEvent> events;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        ssize_t length = ::read(descriptors_->inotify.get(), buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            return events; // EAGAIN: nothing more is waiting
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            auto kind = kindOf(event->mask);
            if (!kind)
                continue;
            std::string name = event->len ? std::string(event->name, strnlen(event->name, event->len)) : std::string();
            events.push_back(FolderEvent {*kind, std::move(name), (event->mask & IN_ISDIR) != 0});
        }
    }
}

} // namespace tavik
