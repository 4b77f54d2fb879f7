#include "zip/ArchiveFile.hpp"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tavik::zip {

ArchiveFile::ArchiveFile(int fd)
    : fd_(fd)
{
    struct stat status {};
    if (fstat(fd_, &status) == 0 && status.st_size > 0)
        size_ = static_cast<uint64_t>(status.st_size);
}

ArchiveFile::~ArchiveFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

ArchiveFile::ArchiveFile(ArchiveFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1))
    , size_(other.size_)
    , window_(std::move(other.window_))
    , windowOffset_(other.windowOffset_)
    , windowLength_(std::exchange(other.windowLength_, 0))
{
}

ArchiveFile& ArchiveFile::operator=(ArchiveFile&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        size_ = other.size_;
        window_ = std::move(other.window_);
        windowOffset_ = other.windowOffset_;
        windowLength_ = std::exchange(other.windowLength_, 0);
    }
    return *this;
}

static int64_t preadFully(int fd, uint64_t offset, std::span<std::byte> buffer)
{
    size_t done = 0;
    while (done < buffer.size()) {
        ssize_t got = ::pread(fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(done);
}

int64_t ArchiveFile::read(uint64_t offset, std::span<std::byte> buffer)
{
    if (buffer.empty())
        return 0;
    if (offset > static_cast<uint64_t>(INT64_MAX) - buffer.size())
        return -1;
    if (buffer.size() > windowSize / 2)
        return preadFully(fd_, offset, buffer);

    bool inWindow = offset >= windowOffset_ && offset + buffer.size() <= windowOffset_ + windowLength_;
    if (!inWindow) {
        window_.resize(windowSize);
        int64_t got = preadFully(fd_, offset, window_);
        if (got < 0) {
            windowLength_ = 0;
            return -1;
        }
        windowOffset_ = offset;
        windowLength_ = static_cast<size_t>(got);
    }
    size_t available = static_cast<size_t>(windowOffset_ + windowLength_ - offset);
    size_t count = std::min(available, buffer.size());
    std::memcpy(buffer.data(), window_.data() + (offset - windowOffset_), count);
    return static_cast<int64_t>(count);
}

bool ArchiveFile::readExactly(uint64_t offset, std::span<std::byte> buffer)
{
    return read(offset, buffer) == static_cast<int64_t>(buffer.size());
}

} // namespace tavik::zip
