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

std::string buildArchive(const std::vector<TestEntry>& entries, const std::string& comment)
{
    std::string body;
    std::string directory;
    for (const auto& entry : entries) {
        std::string stored = entry.storedData ? *entry.storedData : entry.method == 8 ? deflate(entry.data) : entry.data;
        uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()), static_cast<uInt>(entry.data.size())));
        uint32_t compressed = entry.recordedCompressedSize.value_or(static_cast<uint32_t>(stored.size()));
        uint32_t uncompressed = entry.recordedUncompressedSize.value_or(static_cast<uint32_t>(entry.data.size()));
        uint16_t flags = entry.flags | (entry.dataDescriptor ? 0x0008 : 0);
        auto offset = static_cast<uint32_t>(body.size());

        put32(body, 0x04034b50);
        put16(body, entry.versionNeeded);
        put16(body, flags);
        put16(body, entry.method);
        put16(body, entry.dosTime);
        put16(body, entry.dosDate);
        put32(body, entry.dataDescriptor ? 0 : crc);
        put32(body, entry.dataDescriptor ? 0 : compressed);
        put32(body, entry.dataDescriptor ? 0 : uncompressed);
        put16(body, static_cast<uint32_t>(entry.name.size()));
        put16(body, 0);
        body += entry.name + stored;
        if (entry.dataDescriptor) {
            if (entry.descriptorSignature)
                put32(body, 0x08074b50);
            put32(body, crc);
            put32(body, compressed);
            put32(body, uncompressed);
        }

        put32(directory, 0x02014b50);
        put16(directory, (uint32_t { entry.host } << 8) | 30);
        put16(directory, entry.versionNeeded);
        put16(directory, flags);
        put16(directory, entry.method);
        put16(directory, entry.dosTime);
        put16(directory, entry.dosDate);
        put32(directory, crc);
        put32(directory, compressed);
        put32(directory, uncompressed);
        put16(directory, static_cast<uint32_t>(entry.name.size()));
        put16(directory, static_cast<uint32_t>(entry.centralExtraField.size()));
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, 0);
        put32(directory, entry.externalAttributes);
        put32(directory, offset);
        directory += entry.name + entry.centralExtraField;
    }
    std::string end;
    put32(end, 0x06054b50);
    put16(end, 0);
    put16(end, 0);
    put16(end, static_cast<uint32_t>(entries.size()));
    put16(end, static_cast<uint32_t>(entries.size()));
    put32(end, static_cast<uint32_t>(directory.size()));
    put32(end, static_cast<uint32_t>(body.size()));
    put16(end, static_cast<uint32_t>(comment.size()));
    return body + directory + end + comment;
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
