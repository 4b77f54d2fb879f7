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
    // Buttons and titles of the questions
    {"Find Applications", "Find Applications", "Button of the question about a found file: search it for applications"},
    {"Ignore", "Ignore", "Button of a question: leave the file or application alone"},
    {"Copy", "Copy", "Button of the question about a found application: copy it to the destination"},
    {"Overwrite", "Overwrite", "Button of the question about an existing application: replace it"},
    {"Rename and Copy", "Rename and Copy", "Button of the question about an existing application: copy under a new name"},
    {"Open", "Open", "Button of the question about a copied application: open it"},
    {"Error Occurred", "Error Occurred", "Title of the message that reports an error"},
    // Alerts in a terminal or a window
    {"OK", "OK", "The button of an alert that offers no other"},
    {"Choose 1 (press Enter to dismiss): ", "Choose 1 (press Enter to dismiss): ", "Terminal prompt of an alert with one button"},
    {"Choose 1-{} (press Enter to dismiss): ", "Choose 1-{} (press Enter to dismiss): ",
        "Terminal prompt of an alert with several buttons; {} is the highest button number"},
    {"Please type the number of a choice, or press Enter to dismiss.", "Please type the number of a choice, or press Enter to dismiss.",
        "Terminal answer to a reply that names no button"},
};

} // namespace

std::span<const StringTableEntry> stringTable()
{
    return entries;
}

} // namespace tavik::strings
