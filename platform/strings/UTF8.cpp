#include "platform/strings/UTF8.hpp"

namespace tavik {

std::size_t leadingUTF8SequenceLength(std::string_view bytes)
{
    if (bytes.empty())
        return 0;
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    unsigned char first = byte(0);
    if (first < 0x80)
        return 1;
    // The second byte's range rules out overlong forms, surrogates and code
    // points beyond U+10FFFF without decoding.
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        if (first == 0xE0)
            low = 0xA0; // overlong
        if (first == 0xED)
            high = 0x9F; // surrogates
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        if (first == 0xF0)
            low = 0x90; // overlong
        if (first == 0xF4)
            high = 0x8F; // beyond U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() < length)
        return 0;
    if (byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

bool isValidUTF8(std::string_view bytes)
{
    while (!bytes.empty()) {
        std::size_t length = leadingUTF8SequenceLength(bytes);
        if (length == 0)
            return false;
        bytes.remove_prefix(length);
    }
    return true;
}

} // namespace tavik
