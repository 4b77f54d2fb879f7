#include "platform/foundation/FileDescriptor.hpp"

#include <unistd.h>
#include <utility>

namespace tavik {

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : descriptor_(other.release())
{
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept
{
    if (this != &other) {
        if (valid())
            ::close(descriptor_);
        descriptor_ = other.release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor()
{
    if (valid())
        ::close(descriptor_);
}

int FileDescriptor::release() noexcept { return std::exchange(descriptor_, -1); }

bool FileDescriptor::close() noexcept
{
    // Linux frees the number even when close fails, so it is never retried.
    return ::close(release()) == 0;
}

} // namespace tavik
