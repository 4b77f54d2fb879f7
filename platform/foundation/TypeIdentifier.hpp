#pragma once

#include "platform/foundation/Result.hpp"

#include <filesystem>
#include <string>
#include <string_view>

namespace tavik {

// Uniform type identifiers, as the system names the kinds of files.
namespace TypeIdentifiers {
inline constexpr std::string_view item = "public.item";
inline constexpr std::string_view data = "public.data";
inline constexpr std::string_view folder = "public.folder";
inline constexpr std::string_view symbolicLink = "public.symlink";
inline constexpr std::string_view applicationBundle = "com.apple.application-bundle";
inline constexpr std::string_view zipArchive = "public.zip-archive";
inline constexpr std::string_view diskImage = "com.apple.disk-image-udif";
inline constexpr std::string_view installerPackage = "com.apple.installer-package-archive";
} // namespace TypeIdentifiers

// The type identifier of an item of this kind with this name, from the
// name's extension (compared without regard to case).
std::string typeIdentifier(std::string_view fileName, bool isDirectory);

// Whether a directory of this name is a bundle shown and handled as one item
// (an application, a plug-in, an installer package folder...).
bool isPackage(std::string_view fileName, bool isDirectory);

// Whether a directory of this name is an application bundle: its name ends
// in ".app".
bool isApplication(std::string_view fileName, bool isDirectory);

// What the file system says about one item. Symbolic links are described
// themselves, never what they point to.
struct ResourceValues {
    std::string typeIdentifier;
    bool isApplication = false;
    bool isPackage = false;
    bool isDirectory = false;
    bool isSymbolicLink = false;
    bool isRegularFile = false;

    // Reads the values of the item at the path (FileError if there is none).
    static Result<ResourceValues> of(const std::filesystem::path& path);
};

} // namespace tavik
