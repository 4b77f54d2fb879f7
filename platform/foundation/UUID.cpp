#include "platform/foundation/UUID.hpp"

#include <stdexcept>
#include <sys/random.h>

namespace tavik {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isDashPosition(size_t index)
{
    return index == 8 || index == 13 || index == 18 || index == 23;
}

} // namespace

UUID::UUID()
{
    size_t filled = 0;
    while (filled < bytes_.size()) {
        ssize_t got = getrandom(bytes_.data() + filled, bytes_.size() - filled, 0);
        if (got < 0)
            throw std::runtime_error("getrandom failed");
        filled += static_cast<size_t>(got);
    }
    bytes_[6] = static_cast<uint8_t>((bytes_[6] & 0x0F) | 0x40); // version 4
    bytes_[8] = static_cast<uint8_t>((bytes_[8] & 0x3F) | 0x80); // RFC 4122 variant
}

UUID::UUID(const std::array<uint8_t, 16>& bytes)
    : bytes_(bytes)
{
}

std::optional<UUID> UUID::fromString(std::string_view text)
{
    if (text.size() != 36)
        return std::nullopt;
    std::array<uint8_t, 16> bytes {};
    size_t byte = 0;
    for (size_t i = 0; i < text.size();) {
        if (isDashPosition(i)) {
            if (text[i] != '-')
                return std::nullopt;
            ++i;
            continue;
        }
        int high = hexValue(text[i]);
        int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0 || isDashPosition(i + 1))
            return std::nullopt;
        bytes[byte++] = static_cast<uint8_t>(high << 4 | low);
        i += 2;
    }
    return UUID(bytes);
}

std::string UUID::uuidString() const
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += digits[bytes_[i] >> 4];
        text += digits[bytes_[i] & 0x0F];
    }
    return text;
}

} // namespace tavik
