#include "Tavik/folder-watching/FolderEventReader.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace tavik {

namespace {

// Entry changes, and closes after writing for the progress of files being
// written in place. Writes into a file's content (IN_MODIFY) are not asked for.
constexpr uint32_t watchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE
    | IN_ONLYDIR | IN_EXCL_UNLINK;

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
    return std::nullopt; // IN_IGNORED, IN_UNMOUNT: the watch is gone, nothing more will come
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
        ::close(inotifyDescriptor);
        return nullptr;
    }
    int wakeDescriptor = eventfd(0, EFD_CLOEXEC);
    if (wakeDescriptor < 0) {
        errorNumber = errno;
        ::close(inotifyDescriptor);
        return nullptr;
    }
    return std::unique_ptr<FolderEventReader>(new FolderEventReader(inotifyDescriptor, wakeDescriptor));
}

FolderEventReader::FolderEventReader(int inotifyDescriptor, int wakeDescriptor)
    : inotifyDescriptor_(inotifyDescriptor)
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
    ::close(wakeDescriptor_);
    ::close(inotifyDescriptor_);
}

void FolderEventReader::start(Delivery delivery)
{
    thread_ = std::thread([this, delivery = std::move(delivery)] {
        pthread_setname_np(pthread_self(), "folder-events");
        readUntilStopped(delivery);
    });
}

void FolderEventReader::readUntilStopped(const Delivery& delivery)
{
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        pollfd descriptors[2] = {{inotifyDescriptor_, POLLIN, 0}, {wakeDescriptor_, POLLIN, 0}};
        if (::poll(descriptors, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (descriptors[1].revents)
            return;
        if (!(descriptors[0].revents & POLLIN))
            continue;

        std::vector<FolderEvent> events;
        for (;;) {
            ssize_t length = ::read(inotifyDescriptor_, buffer, sizeof buffer);
            if (length <= 0)
                break; // EAGAIN: everything pending was read
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
        if (!events.empty())
            delivery(std::move(events));
    }
}

} // namespace tavik
