#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavik::zip {

// The archive's open file, read at explicit offsets. Small reads (records) go
// through a 16 KiB window so that walking the central directory costs few
// system calls; large reads go straight to the file.
class ArchiveFile {
public:
    explicit ArchiveFile(int fd);
    ~ArchiveFile();
    ArchiveFile(ArchiveFile&& other) noexcept;
    ArchiveFile& operator=(ArchiveFile&& other) noexcept;
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;

    uint64_t size() const { return size_; }
    // Reads up to buffer.size() bytes at offset; returns how many were read
    // (fewer only at the end of the file), or -1 on a read error.
    int64_t read(uint64_t offset, std::span<std::byte> buffer);
    // Reads exactly buffer.size() bytes; false on a short read or error.
    bool readExactly(uint64_t offset, std::span<std::byte> buffer);

    static constexpr size_t windowSize = 16384;

private:
    int fd_ = -1;
    uint64_t size_ = 0;
    std::vector<std::byte> window_;
    uint64_t windowOffset_ = 0;
    size_t windowLength_ = 0;
};

} // namespace tavik::zip
