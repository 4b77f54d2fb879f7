#include "service-protocol/DBusMapping.hpp"

namespace tavik::service::dbus {

namespace {

// The length of the valid UTF-8 sequence at the start of text, or 0 when it
// does not start with one.
size_t validSequenceLength(std::string_view text)
{
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char first = byte(0);
    if (first < 0x80)
        return 1;
    size_t length;
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
    if (text.size() < length)
        return 0;
    if (byte(1) < low || byte(1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

} // namespace

bool isValidUTF8(std::string_view text)
{
    while (!text.empty()) {
        size_t length = validSequenceLength(text);
        if (length == 0)
            return false;
        text.remove_prefix(length);
    }
    return true;
}

std::string replacingInvalidUTF8(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    while (!text.empty()) {
        // D-Bus strings cannot hold NUL either.
        size_t length = text.front() == '\0' ? 0 : validSequenceLength(text);
        if (length == 0) {
            result += "\xEF\xBF\xBD";
            length = 1;
        } else {
            result.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return result;
}

WireURL encodeURL(const std::optional<URL>& url)
{
    if (!url)
        return {};
    return {url->path().string()};
}

std::optional<URL> decodeURL(const WireURL& wire)
{
    if (wire.empty())
        return std::nullopt;
    return URL::fileURL(wire.front());
}

WireError encodeError(const ErrorPtr& error)
{
    if (!error)
        return {};
    return {sdbus::Struct<std::string, int32_t, std::string>(
        replacingInvalidUTF8(error->domain()), error->code(), replacingInvalidUTF8(error->description()))};
}

ErrorPtr decodeError(const WireError& wire)
{
    if (wire.empty())
        return nullptr;
    const auto& entry = wire.front();
    return GenericError::make(std::get<0>(entry), std::get<1>(entry), std::get<2>(entry));
}

} // namespace tavik::service::dbus
