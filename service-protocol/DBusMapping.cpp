#include "service-protocol/DBusMapping.hpp"

#include "platform/strings/UTF8.hpp"

namespace tavik::service::dbus {

std::string replacingInvalidUTF8(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    while (!text.empty()) {
        // D-Bus strings cannot hold NUL either.
        size_t length = text.front() == '\0' ? 0 : leadingUTF8SequenceLength(text);
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
