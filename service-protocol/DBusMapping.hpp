#pragma once

#include "platform/foundation/Error.hpp"
#include "platform/foundation/URL.hpp"

#include <sdbus-c++/Types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// How DuvrinXPCServiceProtocol travels over the D-Bus session bus.
//
//   bus name    app.tavik.DuvrinXPC (the bus starts duvrin-xpc on demand)
//   object      /app/tavik/DuvrinXPC
//   interface   app.tavik.DuvrinXPCServiceProtocol
//   methods     mountDMG(s dmgPath, s mountPointPath) -> (as mountPoint, a(sis) error)
//               unmountDMGWithMountPath(s mountPath) -> (a(sis) error)
//
// An array of zero or one element stands for an optional value, so a reply
// can carry a URL, an error, both or neither. An error travels as (domain,
// code, description). A detach without a reply block is sent as a call that
// expects no reply.
namespace tavik::service::dbus {

inline constexpr const char* serviceName = "app.tavik.DuvrinXPC";
inline constexpr const char* objectPath = "/app/tavik/DuvrinXPC";
inline constexpr const char* interfaceName = "app.tavik.DuvrinXPCServiceProtocol";
inline constexpr const char* mountMethod = "mountDMG";
inline constexpr const char* unmountMethod = "unmountDMGWithMountPath";
inline constexpr const char* mountInputSignature = "ss";
inline constexpr const char* mountOutputSignature = "asa(sis)";
inline constexpr const char* unmountInputSignature = "s";
inline constexpr const char* unmountOutputSignature = "a(sis)";

using WireURL = std::vector<std::string>;
using WireError = std::vector<sdbus::Struct<std::string, int32_t, std::string>>;

WireURL encodeURL(const std::optional<URL>& url);
// A path as it arrived; it names a directory when one is there.
std::optional<URL> decodeURL(const WireURL& wire);

// D-Bus strings must be UTF-8: invalid sequences in the texts are replaced.
WireError encodeError(const ErrorPtr& error);
ErrorPtr decodeError(const WireError& wire);

// The text with every invalid UTF-8 sequence, and every NUL, replaced by U+FFFD.
std::string replacingInvalidUTF8(std::string_view text);

} // namespace tavik::service::dbus
