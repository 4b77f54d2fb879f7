#include "zip/tests/ZipTestSupport.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <zlib.h>

namespace tavik::zip::testing {

namespace {

void put16(std::string& out, uint32_t value)
{
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void put32(std::string& out, uint32_t value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

void put32Of64(std::string& out, uint64_t value)
{
    put32(out, static_cast<uint32_t>(value));
}

void put64(std::string& out, uint64_t value)
{
    put32(out, static_cast<uint32_t>(value));
    put32(out, static_cast<uint32_t>(value >> 32));
}

} // namespace

std::string deflate(const std::string& bytes)
{
    z_stream stream {};
    if (deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&stream, bytes.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    if (::deflate(&stream, Z_FINISH) != Z_STREAM_END)
        throw std::runtime_error("deflate");
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
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
            put16(localExtra, 0x0001);
            put16(localExtra, 16);
            put64(localExtra, entry.dataDescriptor ? 0 : uncompressed);
            put64(localExtra, entry.dataDescriptor ? 0 : compressed);
            put16(centralExtra, 0x0001);
            put16(centralExtra, 24);
            put64(centralExtra, uncompressed);
            put64(centralExtra, compressed);
            put64(centralExtra, offset);
        }
        centralExtra += entry.centralExtraField;

        put32(body, 0x04034b50);
        put16(body, versionNeeded);
        put16(body, flags);
        put16(body, entry.method);
        put16(body, entry.dosTime);
        put16(body, entry.dosDate);
        put32(body, entry.dataDescriptor ? 0 : crc);
        put32(body, entry.dataDescriptor ? 0 : size32(compressed));
        put32(body, entry.dataDescriptor ? 0 : size32(uncompressed));
        put16(body, static_cast<uint32_t>(entry.name.size()));
        put16(body, static_cast<uint32_t>(localExtra.size()));
        body += entry.name + localExtra + stored;
        if (entry.dataDescriptor) {
            if (entry.descriptorSignature)
                put32(body, 0x08074b50);
            put32(body, crc);
            (zip64 ? put64 : put32Of64)(body, compressed);
            (zip64 ? put64 : put32Of64)(body, uncompressed);
        }

        put32(directory, 0x02014b50);
        put16(directory, (uint32_t {entry.host} << 8) | 30);
        put16(directory, versionNeeded);
        put16(directory, flags);
        put16(directory, entry.method);
        put16(directory, entry.dosTime);
        put16(directory, entry.dosDate);
        put32(directory, crc);
        put32(directory, size32(compressed));
        put32(directory, size32(uncompressed));
        put16(directory, static_cast<uint32_t>(entry.name.size()));
        put16(directory, static_cast<uint32_t>(centralExtra.size()));
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, 0);
        put32(directory, entry.externalAttributes);
        put32(directory, size32(offset));
        directory += entry.name + centralExtra;
    }
    std::string zip64Records;
    if (zip64) {
        uint64_t recordOffset = body.size() + directory.size();
        put32(zip64Records, 0x06064b50);
        put64(zip64Records, 44);
        put16(zip64Records, (3u << 8) | 45);
        put16(zip64Records, 45);
        put32(zip64Records, 0);
        put32(zip64Records, 0);
        put64(zip64Records, entries.size());
        put64(zip64Records, entries.size());
        put64(zip64Records, directory.size());
        put64(zip64Records, body.size());
        put32(zip64Records, 0x07064b50);
        put32(zip64Records, 0);
        put64(zip64Records, recordOffset);
        put32(zip64Records, 1);
    }
    std::string end;
    put32(end, 0x06054b50);
    put16(end, 0);
    put16(end, 0);
    put16(end, zip64 ? 0xFFFF : static_cast<uint32_t>(entries.size()));
    put16(end, zip64 ? 0xFFFF : static_cast<uint32_t>(entries.size()));
    put32(end, zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(directory.size()));
    put32(end, zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(body.size()));
    put16(end, static_cast<uint32_t>(comment.size()));
    return body + directory + zip64Records + end + comment;
}

ScratchFolder::ScratchFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tavik-zip-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

ScratchFolder::~ScratchFolder()
{
    std::error_code error;
    // Extracted folders may be read-only; make them removable first.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (!it->is_symlink(error) && it->is_directory(error))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, error);
    }
    std::filesystem::remove_all(path_, error);
}

URL ScratchFolder::url(const std::string& name) const
{
    return URL::fileURL(name.empty() ? path_ : path_ / name, name.empty());
}

URL ScratchFolder::write(const std::string& name, const std::string& bytes) const
{
    std::ofstream out(path_ / name, std::ios::binary);
    out << bytes;
    return URL::fileURL(path_ / name, false);
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

} // namespace tavik::zip::testing
