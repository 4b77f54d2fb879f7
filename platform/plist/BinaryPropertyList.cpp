#include "platform/plist/BinaryPropertyList.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <vector>

namespace tavik::plist::binary {

namespace {

constexpr std::string_view kMagic = "bplist00";
constexpr size_t kTrailerSize = 32;
constexpr int kMaximumDepth = 512;

// --- writing ---------------------------------------------------------------

unsigned bytesFor(uint64_t value)
{
    if (value <= 0xff)
        return 1;
    if (value <= 0xffff)
        return 2;
    if (value <= 0xffffffff)
        return 4;
    return 8;
}

void appendBigEndian(std::string& out, uint64_t value, unsigned size)
{
    for (unsigned index = size; index-- > 0;)
        out.push_back(char((value >> (8 * index)) & 0xff));
}

size_t countObjects(const PropertyList& value)
{
    size_t count = 1;
    if (auto array = value.array())
        for (const auto& element : *array)
            count += countObjects(element);
    else if (auto dictionary = value.dictionary())
        for (const auto& [key, element] : *dictionary)
            count += 1 + countObjects(element);
    return count;
}

bool isASCII(std::string_view text)
{
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

// UTF-8 to UTF-16 code units; malformed sequences become U+FFFD.
std::u16string toUTF16(std::string_view text)
{
    std::u16string result;
    for (size_t index = 0; index < text.size();) {
        unsigned char lead = text[index];
        uint32_t codePoint = 0xfffd;
        size_t length = 1;
        if (lead < 0x80) {
            codePoint = lead;
        } else if ((lead >> 5) == 0x6 || (lead >> 4) == 0xe || (lead >> 3) == 0x1e) {
            length = (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xe ? 3
                                                                 : 4;
            uint32_t value = lead & (0x7f >> length);
            bool valid = index + length <= text.size();
            for (size_t next = 1; valid && next < length; ++next) {
                unsigned char continuation = text[index + next];
                valid = (continuation >> 6) == 0x2;
                value = (value << 6) | (continuation & 0x3f);
            }
            static constexpr uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
            if (valid && value >= minimum[length] && value <= 0x10ffff && (value < 0xd800 || value > 0xdfff))
                codePoint = value;
            else
                length = 1;
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            result.push_back(char16_t(0xd800 + (codePoint >> 10)));
            result.push_back(char16_t(0xdc00 + (codePoint & 0x3ff)));
        } else {
            result.push_back(char16_t(codePoint));
        }
        index += length;
    }
    return result;
}

// Writes objects into a buffer that is handed to the sink whenever it
// fills, so a large value never needs one large allocation.
class Writer {
public:
    Writer(size_t objectCount, const Sink& sink)
        : referenceSize_(bytesFor(objectCount))
        , sink_(sink)
    {
        offsets_.reserve(objectCount);
        out_.reserve(kChunk + 64);
        out_.append(kMagic);
    }

    uint64_t write(const PropertyList& value)
    {
        switch (value.kind()) {
        case PropertyList::Kind::array: {
            std::vector<uint64_t> references;
            references.reserve(value.array()->size());
            for (const auto& element : *value.array())
                references.push_back(write(element));
            uint64_t index = begin();
            appendMarker(0xa0, references.size());
            for (uint64_t reference : references)
                appendBigEndian(out_, reference, referenceSize_);
            return index;
        }
        case PropertyList::Kind::dictionary: {
            std::vector<uint64_t> keys, values;
            keys.reserve(value.dictionary()->size());
            values.reserve(value.dictionary()->size());
            for (const auto& [key, element] : *value.dictionary()) {
                keys.push_back(writeString(key));
                values.push_back(write(element));
            }
            uint64_t index = begin();
            appendMarker(0xd0, keys.size());
            for (uint64_t reference : keys)
                appendBigEndian(out_, reference, referenceSize_);
            for (uint64_t reference : values)
                appendBigEndian(out_, reference, referenceSize_);
            return index;
        }
        case PropertyList::Kind::string:
            return writeString(*value.string());
        case PropertyList::Kind::data: {
            uint64_t index = begin();
            appendMarker(0x40, value.data()->size());
            appendBytes(std::string_view(reinterpret_cast<const char*>(value.data()->data()), value.data()->size()));
            return index;
        }
        case PropertyList::Kind::integer: {
            uint64_t index = begin();
            appendInteger(*value.integer());
            return index;
        }
        case PropertyList::Kind::real: {
            uint64_t index = begin();
            out_.push_back(char(0x23));
            appendBigEndian(out_, std::bit_cast<uint64_t>(*value.real()), 8);
            return index;
        }
        case PropertyList::Kind::boolean: {
            uint64_t index = begin();
            out_.push_back(char(*value.boolean() ? 0x09 : 0x08));
            return index;
        }
        case PropertyList::Kind::date: {
            uint64_t index = begin();
            out_.push_back(char(0x33));
            appendBigEndian(out_, std::bit_cast<uint64_t>(value.date()->secondsSinceReferenceDate), 8);
            return index;
        }
        }
        return begin();
    }

    bool finish(uint64_t top)
    {
        uint64_t offsetTableOffset = position();
        unsigned offsetSize = bytesFor(offsetTableOffset);
        for (uint64_t offset : offsets_) {
            appendBigEndian(out_, offset, offsetSize);
            flushIfFull();
        }
        out_.append(6, '\0');
        out_.push_back(char(offsetSize));
        out_.push_back(char(referenceSize_));
        appendBigEndian(out_, offsets_.size(), 8);
        appendBigEndian(out_, top, 8);
        appendBigEndian(out_, offsetTableOffset, 8);
        return flush();
    }

private:
    static constexpr size_t kChunk = 256 * 1024;

    uint64_t position() const { return flushed_ + out_.size(); }

    bool flush()
    {
        if (!failed_ && !out_.empty() && !sink_(out_))
            failed_ = true;
        flushed_ += out_.size();
        out_.clear();
        return !failed_;
    }
    void flushIfFull()
    {
        if (out_.size() >= kChunk)
            flush();
    }
    void appendBytes(std::string_view bytes)
    {
        if (out_.size() + bytes.size() > kChunk) {
            flush();
            if (bytes.size() > kChunk) {
                if (!failed_ && !sink_(bytes))
                    failed_ = true;
                flushed_ += bytes.size();
                return;
            }
        }
        out_.append(bytes);
    }

    uint64_t begin()
    {
        flushIfFull();
        offsets_.push_back(position());
        return offsets_.size() - 1;
    }

    void appendInteger(int64_t value)
    {
        if (value < 0) {
            out_.push_back(char(0x13));
            appendBigEndian(out_, uint64_t(value), 8);
            return;
        }
        unsigned size = bytesFor(uint64_t(value));
        out_.push_back(char(0x10 | std::countr_zero(size)));
        appendBigEndian(out_, uint64_t(value), size);
    }

    void appendMarker(uint8_t type, uint64_t count)
    {
        if (count < 15) {
            out_.push_back(char(type | count));
        } else {
            out_.push_back(char(type | 0x0f));
            appendInteger(int64_t(count));
        }
    }

    uint64_t writeString(const std::string& text)
    {
        uint64_t index = begin();
        if (isASCII(text)) {
            appendMarker(0x50, text.size());
            appendBytes(text);
        } else {
            std::u16string units = toUTF16(text);
            appendMarker(0x60, units.size());
            for (char16_t unit : units)
                appendBigEndian(out_, unit, 2);
        }
        return index;
    }

    unsigned referenceSize_;
    const Sink& sink_;
    std::vector<uint64_t> offsets_;
    std::string out_;
    uint64_t flushed_ = 0;
    bool failed_ = false;
};

// --- reading ---------------------------------------------------------------

class Reader {
public:
    explicit Reader(std::string_view bytes)
        : bytes_(bytes)
    {
    }

    std::optional<PropertyList> read(std::string* problem)
    {
        auto fail = [&](const char* reason) -> std::optional<PropertyList> {
            if (problem)
                *problem = reason;
            return std::nullopt;
        };
        if (bytes_.size() < kMagic.size() + kTrailerSize || bytes_.substr(0, kMagic.size()) != kMagic)
            return fail("not a binary property list");
        const size_t trailer = bytes_.size() - kTrailerSize;
        offsetSize_ = uint8_t(bytes_[trailer + 6]);
        referenceSize_ = uint8_t(bytes_[trailer + 7]);
        objectCount_ = bigEndian(trailer + 8, 8);
        uint64_t top = bigEndian(trailer + 16, 8);
        offsetTableOffset_ = bigEndian(trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || referenceSize_ < 1 || referenceSize_ > 8)
            return fail("bad trailer sizes");
        if (objectCount_ == 0 || top >= objectCount_ || offsetTableOffset_ < kMagic.size()
            || offsetTableOffset_ > trailer || objectCount_ > (trailer - offsetTableOffset_) / offsetSize_)
            return fail("bad trailer");
        offsetTableEnd_ = offsetTableOffset_;
        // Shared containers could make a small file decode to an enormous
        // tree; a real one has no more values than it has bytes.
        budget_ = bytes_.size() * 4 + 1024;
        onPath_.assign(objectCount_, false);
        auto value = readObject(top, 0);
        if (!value)
            return fail(problem_ ? problem_ : "malformed object");
        return value;
    }

private:
    uint64_t bigEndian(size_t offset, unsigned size) const
    {
        uint64_t value = 0;
        for (unsigned index = 0; index < size; ++index)
            value = (value << 8) | uint8_t(bytes_[offset + index]);
        return value;
    }

    std::optional<size_t> objectOffset(uint64_t index) const
    {
        if (index >= objectCount_)
            return std::nullopt;
        uint64_t offset = bigEndian(offsetTableOffset_ + index * offsetSize_, offsetSize_);
        if (offset < kMagic.size() || offset >= offsetTableEnd_)
            return std::nullopt;
        return size_t(offset);
    }

    // The object count of a marker's low nibble, or of the integer after it;
    // `position` moves past what was read.
    std::optional<uint64_t> count(uint8_t marker, size_t& position) const
    {
        if ((marker & 0x0f) != 0x0f)
            return marker & 0x0f;
        if (position >= offsetTableEnd_)
            return std::nullopt;
        uint8_t intMarker = uint8_t(bytes_[position]);
        if ((intMarker & 0xf0) != 0x10 || (intMarker & 0x0f) > 3)
            return std::nullopt;
        unsigned size = 1u << (intMarker & 0x0f);
        if (position + 1 + size > offsetTableEnd_)
            return std::nullopt;
        uint64_t value = bigEndian(position + 1, size);
        position += 1 + size;
        return value;
    }

    bool fits(size_t position, uint64_t length) const { return length <= offsetTableEnd_ && position <= offsetTableEnd_ - length; }

    std::optional<PropertyList> readObject(uint64_t index, int depth)
    {
        if (depth > kMaximumDepth) {
            problem_ = "nested too deeply";
            return std::nullopt;
        }
        if (budget_-- == 0) {
            problem_ = "too many values";
            return std::nullopt;
        }
        auto offset = objectOffset(index);
        if (!offset)
            return std::nullopt;
        size_t position = *offset;
        uint8_t marker = uint8_t(bytes_[position++]);
        switch (marker >> 4) {
        case 0x0:
            if (marker == 0x08 || marker == 0x09)
                return PropertyList(marker == 0x09);
            return std::nullopt;
        case 0x1: {
            unsigned size = 1u << (marker & 0x0f);
            if (size > 16 || !fits(position, size))
                return std::nullopt;
            if (size == 16) {
                // Only what fits in 64 bits: the high half must be a sign extension.
                uint64_t high = bigEndian(position, 8);
                uint64_t low = bigEndian(position + 8, 8);
                if (high != 0 && !(high == ~uint64_t(0) && int64_t(low) < 0))
                    return std::nullopt;
                return PropertyList(int64_t(low));
            }
            uint64_t value = bigEndian(position, size);
            return PropertyList(int64_t(value));
        }
        case 0x2: {
            unsigned size = 1u << (marker & 0x0f);
            if ((size != 4 && size != 8) || !fits(position, size))
                return std::nullopt;
            if (size == 4)
                return PropertyList(double(std::bit_cast<float>(uint32_t(bigEndian(position, 4)))));
            return PropertyList(std::bit_cast<double>(bigEndian(position, 8)));
        }
        case 0x3:
            if (marker != 0x33 || !fits(position, 8))
                return std::nullopt;
            return PropertyList(Date {std::bit_cast<double>(bigEndian(position, 8))});
        case 0x4: {
            auto length = count(marker, position);
            if (!length || !fits(position, *length))
                return std::nullopt;
            auto begin = reinterpret_cast<const uint8_t*>(bytes_.data() + position);
            return PropertyList(Data(begin, begin + *length));
        }
        case 0x5: {
            auto length = count(marker, position);
            if (!length || !fits(position, *length))
                return std::nullopt;
            return PropertyList(latin1ToUTF8(bytes_.substr(position, *length)));
        }
        case 0x6: {
            auto length = count(marker, position);
            if (!length || *length > std::numeric_limits<uint64_t>::max() / 2 || !fits(position, *length * 2))
                return std::nullopt;
            return PropertyList(utf16ToUTF8(position, *length));
        }
        case 0xa:
        case 0xd: {
            auto length = count(marker, position);
            unsigned perEntry = (marker >> 4) == 0xd ? 2 : 1;
            if (!length || *length > offsetTableEnd_ || !fits(position, *length * perEntry * referenceSize_))
                return std::nullopt;
            if (onPath_[index]) {
                problem_ = "object contains itself";
                return std::nullopt;
            }
            onPath_[index] = true;
            auto result = (marker >> 4) == 0xd ? readDictionary(position, *length, depth) : readArray(position, *length, depth);
            onPath_[index] = false;
            return result;
        }
        default:
            // UIDs, sets and the reserved kinds have no PropertyList form.
            problem_ = "unsupported object kind";
            return std::nullopt;
        }
    }

    std::optional<PropertyList> readArray(size_t position, uint64_t length, int depth)
    {
        PropertyList::Array array;
        array.reserve(size_t(length));
        for (uint64_t element = 0; element < length; ++element) {
            auto value = readObject(bigEndian(position + element * referenceSize_, referenceSize_), depth + 1);
            if (!value)
                return std::nullopt;
            array.push_back(std::move(*value));
        }
        return PropertyList(std::move(array));
    }

    std::optional<PropertyList> readDictionary(size_t position, uint64_t length, int depth)
    {
        PropertyList::Dictionary dictionary;
        for (uint64_t entry = 0; entry < length; ++entry) {
            auto key = readObject(bigEndian(position + entry * referenceSize_, referenceSize_), depth + 1);
            if (!key || !key->string()) {
                problem_ = problem_ ? problem_ : "dictionary key is not a string";
                return std::nullopt;
            }
            auto value = readObject(bigEndian(position + (length + entry) * referenceSize_, referenceSize_), depth + 1);
            if (!value)
                return std::nullopt;
            dictionary.insert_or_assign(*key->string(), std::move(*value));
        }
        return PropertyList(std::move(dictionary));
    }

    static void appendUTF8(std::string& out, uint32_t codePoint)
    {
        if (codePoint < 0x80) {
            out.push_back(char(codePoint));
        } else if (codePoint < 0x800) {
            out.push_back(char(0xc0 | (codePoint >> 6)));
            out.push_back(char(0x80 | (codePoint & 0x3f)));
        } else if (codePoint < 0x10000) {
            out.push_back(char(0xe0 | (codePoint >> 12)));
            out.push_back(char(0x80 | ((codePoint >> 6) & 0x3f)));
            out.push_back(char(0x80 | (codePoint & 0x3f)));
        } else {
            out.push_back(char(0xf0 | (codePoint >> 18)));
            out.push_back(char(0x80 | ((codePoint >> 12) & 0x3f)));
            out.push_back(char(0x80 | ((codePoint >> 6) & 0x3f)));
            out.push_back(char(0x80 | (codePoint & 0x3f)));
        }
    }

    static std::string latin1ToUTF8(std::string_view text)
    {
        if (isASCII(text))
            return std::string(text);
        std::string out;
        for (unsigned char c : text)
            appendUTF8(out, c);
        return out;
    }

    std::string utf16ToUTF8(size_t position, uint64_t units) const
    {
        std::string out;
        out.reserve(size_t(units));
        for (uint64_t index = 0; index < units; ++index) {
            uint32_t unit = uint32_t(bigEndian(position + index * 2, 2));
            if (unit >= 0xd800 && unit <= 0xdbff && index + 1 < units) {
                uint32_t next = uint32_t(bigEndian(position + (index + 1) * 2, 2));
                if (next >= 0xdc00 && next <= 0xdfff) {
                    appendUTF8(out, 0x10000 + ((unit - 0xd800) << 10) + (next - 0xdc00));
                    ++index;
                    continue;
                }
            }
            appendUTF8(out, unit >= 0xd800 && unit <= 0xdfff ? 0xfffd : unit);
        }
        return out;
    }

    std::string_view bytes_;
    unsigned offsetSize_ = 0;
    unsigned referenceSize_ = 0;
    uint64_t objectCount_ = 0;
    uint64_t offsetTableOffset_ = 0;
    uint64_t offsetTableEnd_ = 0;
    uint64_t budget_ = 0;
    std::vector<bool> onPath_;
    const char* problem_ = nullptr;
};

} // namespace

bool encode(const PropertyList& value, const Sink& sink)
{
    Writer writer(countObjects(value), sink);
    uint64_t top = writer.write(value);
    return writer.finish(top);
}

std::string encode(const PropertyList& value)
{
    std::string result;
    encode(value, [&](std::string_view bytes) {
        result.append(bytes);
        return true;
    });
    return result;
}

std::optional<PropertyList> decode(std::string_view bytes, std::string* problem)
{
    return Reader(bytes).read(problem);
}

} // namespace tavik::plist::binary
