#include "platform/strings/StringTable.hpp"

namespace tavik::strings {

namespace {

// Keep the keys unique; add new keys at the end of their group.
constexpr StringTableEntry entries[] = {
    // Options
    { "move_to_trash_applications_handle_action", "Move to Trash", "User-facing name of move to trash action" },
};

} // namespace

std::span<const StringTableEntry> stringTable()
{
    return entries;
}

} // namespace tavik::strings
