#include "zip/tests/ZipTestSupport.hpp"

#include <initializer_list>
#include <stdexcept>
#include <utility>
#include <zlib.h>

namespace tavik::zip::testing {

namespace {

// Appends little-endian fields, each a value and its width in bytes.
void put(std::string& out, std::initializer_list<std::pair<uint64_t, int>> fields)
{
    for (auto [value, width] : fields)
        for (int byte = 0; byte < width; ++byte)
            out += static_cast<char>((value >> (8 * byte)) & 0xFF);
}

} // namespace

std::string deflate(const std::string& bytes)
{
    uLongf size = compressBound(bytes.size());
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size(), 6) != Z_OK)
        throw std::runtime_error("compress2");
    return out.substr(2, size - 6); // without zlib's two-byte header and four-byte checksum
}

std::string sampleBytes(size_t count)
{
    std::string bytes(count, '\0');
    uint32_t state = 12345;
    for (auto& byte : bytes) {
        state = state * 1103515245 + 12345;
        byte = static_cast<char>((state >> 16) % 7 == 0 ? 'a' : (state >> 8));
    }
    return bytes;
}

std::string buildArchive(const std::vector<TestEntry>& entries, const std::string& comment, ArchiveFormat format)
{
    const bool zip64 = format == ArchiveFormat::zip64;
    std::string body;
    std::string directory;
    for (const auto& entry : entries) {
        std::string stored = entry.storedData ? *entry.storedData : entry.method == 8 ? deflate(entry.data)
                                                                                      : entry.data;
        uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()), static_cast<uInt>(entry.data.size())));
        uint64_t compressed = entry.recordedCompressedSize.value_or(stored.size());
        uint64_t uncompressed = entry.recordedUncompressedSize.value_or(entry.data.size());
        uint16_t flags = entry.flags | (entry.dataDescriptor ? 0x0008 : 0);
        uint64_t offset = body.size();
        uint16_t versionNeeded = zip64 && entry.versionNeeded == 20 ? 45 : entry.versionNeeded;
        // ZIP64: the fixed fields hold markers, the extra fields the values.
        auto size32 = [&](uint64_t value) { return zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(value); };
        std::string localExtra;
        std::string centralExtra;
        if (zip64) {
            const uint64_t localSizes = entry.dataDescriptor ? 0 : 1;
            put(localExtra, {{0x0001, 2}, {16, 2}, {localSizes * uncompressed, 8}, {localSizes * compressed, 8}});
            put(centralExtra, {{0x0001, 2}, {24, 2}, {uncompressed, 8}, {compressed, 8}, {offset, 8}});
        }
        centralExtra += entry.centralExtraField;
        const uint64_t known = entry.dataDescriptor ? 0 : 1;

        put(body, {{0x04034b50, 4}, {versionNeeded, 2}, {flags, 2}, {entry.method, 2}, {0x5A21, 2}, {0x5A86, 2}, {known * crc, 4}, {known * size32(compressed), 4}, {known * size32(uncompressed), 4}, {entry.name.size(), 2}, {localExtra.size(), 2}});
        body += entry.name + localExtra + stored;
        if (entry.dataDescriptor) {
            if (entry.descriptorSignature)
                put(body, {{0x08074b50, 4}});
            put(body, {{crc, 4}, {compressed, zip64 ? 8 : 4}, {uncompressed, zip64 ? 8 : 4}});
        }

        put(directory, {{0x02014b50, 4}, {(uint32_t {entry.host} << 8) | 30, 2}, {versionNeeded, 2}, {flags, 2}, {entry.method, 2}, {0x5A21, 2}, {0x5A86, 2}, {crc, 4}, {size32(compressed), 4}, {size32(uncompressed), 4}, {entry.name.size(), 2}, {centralExtra.size(), 2}, {0, 2}, {0, 2}, {0, 2}, {entry.externalAttributes, 4}, {size32(offset), 4}});
        directory += entry.name + centralExtra;
    }
    std::string zip64Records;
    if (zip64) {
        put(zip64Records, {{0x06064b50, 4}, {44, 8}, {(3u << 8) | 45, 2}, {45, 2}, {0, 4}, {0, 4}, {entries.size(), 8}, {entries.size(), 8}, {directory.size(), 8}, {body.size(), 8}, {0x07064b50, 4}, {0, 4}, {body.size() + directory.size(), 8}, {1, 4}});
    }
    std::string end;
    const uint64_t count = zip64 ? 0xFFFF : entries.size();
    put(end, {{0x06054b50, 4}, {0, 2}, {0, 2}, {count, 2}, {count, 2}, {zip64 ? 0xFFFFFFFF : directory.size(), 4}, {zip64 ? 0xFFFFFFFF : body.size(), 4}, {comment.size(), 2}});
    return body + directory + zip64Records + end + comment;
}

} // namespace tavik::zip::testing
