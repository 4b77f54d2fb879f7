#include "platform/strings/StringTable.hpp"

namespace tavik::strings {

namespace {

// Keep the keys unique; add new keys at the end of their group.
constexpr StringTableEntry entries[] = {
    // Options
    {"move_to_trash_applications_handle_action", "Move to Trash", "User-facing name of move to trash action"},
    // Questions about found, existing and copied applications
    {"Found Application", "Found Application", "Title of the question what to do with a found application"},
    {"Choose how to handle %@", "Choose how to handle %@", "Body of a question about an application; %@ is its name"},
    {"Application exists", "Application exists", "Title of the question what to do when the destination already has the application"},
    {"Choose how to handle copying %@ to %@", "Choose how to handle copying %@ to %@", "Body of that question; the application's name and the path of the existing copy"},
    {"Copied Application", "Copied Application", "Title of the question what to do with a copied application"},
    // Questions about found files
    {"Found %@", "Found %@", "Title of the question what to do with a found file; %@ is its type (DMG, ZIP, PKG)"},
    {"Choose how to handle %@ at %@", "Choose how to handle %@ at %@", "Body of that question; the file's type and its path"},
    // Setup introduction
    {"intro_welcome_title", "Welcome to Tavik", "Title of the first (welcome) intro step"},
    {"intro_welcome_caption",
        "Tavik installs the applications you download: it finds them in disk images, ZIP archives and installer packages, "
        "copies them to your applications folder and cleans up after them. Let's set it up.",
        "Caption of the first (welcome) intro step"},
    {"intro_destination_title", "Choose a Destination", "Title of the second (destination) intro step"},
    {"intro_destination_caption", "Choose the folder that Tavik copies the applications it finds to.",
        "Caption of the second (destination) intro step"},
    {"intro_destination_caption_addendum", "Applications usually go in %@.",
        "Extra text shown in the destination intro step, providing an example of the usual destination for applications"},
};

} // namespace

std::span<const StringTableEntry> stringTable()
{
    return entries;
}

} // namespace tavik::strings
