#include "Tavik/folder-watching/FolderEventReader.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
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

void closeAll(std::initializer_list<int> descriptors)
{
    for (int descriptor : descriptors) {
        if (descriptor >= 0)
            ::close(descriptor);
    }
}

} // namespace

std::unique_ptr<FolderEventReader> FolderEventReader::open(const std::filesystem::path& folder, int& errorNumber)
{
    int inotifyDescriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyDescriptor < 0) {
        errorNumber = errno;
        return nullptr;
    }
    if (inotify_add_watch(inotifyDescriptor, folder.c_str(), watchedEvents) < 0) {
        errorNumber = errno;
        closeAll({inotifyDescriptor});
        return nullptr;
    }
    int pollDescriptor = epoll_create1(EPOLL_CLOEXEC);
    int wakeDescriptor = eventfd(0, EFD_CLOEXEC);
    epoll_event inotifyReady{EPOLLIN | EPOLLONESHOT, {.fd = inotifyDescriptor}};
    epoll_event wake{EPOLLIN, {.fd = wakeDescriptor}};
    if (pollDescriptor < 0 || wakeDescriptor < 0
        || epoll_ctl(pollDescriptor, EPOLL_CTL_ADD, inotifyDescriptor, &inotifyReady) < 0
        || epoll_ctl(pollDescriptor, EPOLL_CTL_ADD, wakeDescriptor, &wake) < 0) {
        errorNumber = errno;
        closeAll({inotifyDescriptor, pollDescriptor, wakeDescriptor});
        return nullptr;
    }
    return std::unique_ptr<FolderEventReader>(new FolderEventReader(inotifyDescriptor, pollDescriptor, wakeDescriptor));
}

FolderEventReader::FolderEventReader(int inotifyDescriptor, int pollDescriptor, int wakeDescriptor)
    : inotifyDescriptor_(inotifyDescriptor)
    , pollDescriptor_(pollDescriptor)
    , wakeDescriptor_(wakeDescriptor)
{
}

FolderEventReader::~FolderEventReader()
{
    if (thread_.joinable()) {
        uint64_t one = 1;
        while (::write(wakeDescriptor_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    closeAll({inotifyDescriptor_, pollDescriptor_, wakeDescriptor_});
}

void FolderEventReader::start(Doorbell doorbell)
{
    thread_ = std::thread([this, doorbell = std::move(doorbell)] {
        pthread_setname_np(pthread_self(), "folder-events");
        waitUntilStopped(doorbell);
    });
}

void FolderEventReader::waitUntilStopped(const Doorbell& doorbell)
{
    for (;;) {
        epoll_event ready[2];
        int count = epoll_wait(pollDescriptor_, ready, 2, -1);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        bool eventsWaiting = false;
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.fd == wakeDescriptor_)
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
    epoll_event inotifyReady{EPOLLIN | EPOLLONESHOT, {.fd = inotifyDescriptor_}};
    epoll_ctl(pollDescriptor_, EPOLL_CTL_MOD, inotifyDescriptor_, &inotifyReady);
}

std::vector<FolderEvent> FolderEventReader::readEvents()
{
    std::vector<FolderEvent> events;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        ssize_t length = ::read(inotifyDescriptor_, buffer, sizeof buffer);
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
            events.push_back(FolderEvent{*kind, std::move(name), (event->mask & IN_ISDIR) != 0});
        }
    }
}

} // namespace tavik
