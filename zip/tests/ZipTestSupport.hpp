#pragma once

// Byte-level archives for the cases no archiver writes.
#include "platform/testing/Files.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavik::zip::testing {

using tavik::testing::modeOf;
using tavik::testing::namesIn;
using tavik::testing::readFile;

inline constexpr uint32_t regularFile = 0100644u << 16;
inline constexpr uint32_t directory = 040755u << 16;
inline constexpr uint32_t symbolicLink = 0120777u << 16;

// Every entry is dated 2025-04-06 11:17:02 (MS-DOS time 0x5A21, date 0x5A86).
struct TestEntry {
    std::string name;
    std::string data;
    uint16_t method = 0; // 0 stored, 8 deflated (the builder compresses)
    uint32_t externalAttributes = regularFile;
    uint8_t host = 3;
    uint16_t flags = 0;
    uint16_t versionNeeded = 20;
    std::string centralExtraField;
    // Bit 3 is set and a descriptor written after the data.
    bool dataDescriptor = false;
    bool descriptorSignature = true;
    // Replace what is written as the stored data (e.g. a cut-off stream).
    std::optional<std::string> storedData;
    // Replace the sizes recorded in both headers.
    std::optional<uint64_t> recordedUncompressedSize;
    std::optional<uint64_t> recordedCompressedSize;
};

enum class ArchiveFormat {
    classic,
    // Sizes and offsets only in ZIP64 extra fields, counts only in the
    // 64-bit end record (followed by its locator); the classic records hold
    // the markers.
    zip64,
};

std::string buildArchive(const std::vector<TestEntry>& entries, const std::string& comment = {},
    ArchiveFormat format = ArchiveFormat::classic);
// Raw DEFLATE data of bytes.
std::string deflate(const std::string& bytes);
// Bytes that look random but still compress somewhat, the same on every call.
std::string sampleBytes(size_t count);

} // namespace tavik::zip::testing
