#pragma once

namespace tavik {

// Owns one open file descriptor and closes it exactly once: when released by
// close(), when replaced, or when the owner goes. Move-only.
class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor = -1) noexcept
        : descriptor_(descriptor)
    {
    }
    FileDescriptor(FileDescriptor&& other) noexcept;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int get() const { return descriptor_; }
    bool valid() const { return descriptor_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept;
    // Closes now and says whether the close succeeded (a failed close can be
    // a late write error; errno tells which). The owner is empty afterwards.
    bool close() noexcept;

private:
    int descriptor_;
};

} // namespace tavik
