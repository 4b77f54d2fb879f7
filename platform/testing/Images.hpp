#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tavik::testing {

// Makes a disk image (UDIF around HFS+) of a folder tree with the project's
// own image writer, as the hdiutil stand-in reads them.
void makeDiskImage(const std::filesystem::path& source, const std::filesystem::path& image);

// Makes an AppImage (type 2): a copy of /bin/true carrying the AppImage magic
// followed by a squashfs image made with mksquashfs from `contents` (or, when
// none is given, from a tree with "<name>.desktop", "<name>.png" of 32x32
// pixels, ".DirIcon" linking to it, and an AppRun script).
void makeAppImage(const std::filesystem::path& appImage, const std::string& name,
    const std::optional<std::filesystem::path>& contents = std::nullopt);

// A real PNG image of size x size pixels.
std::string pngImage(unsigned size = 32);

} // namespace tavik::testing
