#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tavik {

// A random (version 4) UUID; its text is the canonical upper-case form,
// "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
class UUID {
public:
    UUID(); // a new random UUID
    explicit UUID(const std::array<uint8_t, 16>& bytes);
    // Accepts the canonical form in either case; nothing for anything else.
    static std::optional<UUID> fromString(std::string_view text);

    std::string uuidString() const;
    const std::array<uint8_t, 16>& bytes() const { return bytes_; }

    auto operator<=>(const UUID&) const = default;

private:
    std::array<uint8_t, 16> bytes_ {};
};

} // namespace tavik

template <>
struct std::hash<tavik::UUID> {
    size_t operator()(const tavik::UUID& uuid) const noexcept
    {
        return std::hash<std::string_view>()(
            std::string_view(reinterpret_cast<const char*>(uuid.bytes().data()), uuid.bytes().size()));
    }
};
