#pragma once

#include "platform/foundation/Result.hpp"

#include <filesystem>
#include <span>
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
inline constexpr std::string_view tarArchive = "public.tar-archive";
inline constexpr std::string_view appImage = "org.appimage.appimage";
inline constexpr std::string_view debianPackage = "org.debian.deb-archive";
inline constexpr std::string_view rpmPackage = "com.redhat.rpm-archive";
} // namespace TypeIdentifiers

// The type identifier of an item of this kind with this name, from the
// name's extension (compared without regard to case).
std::string typeIdentifier(std::string_view fileName, bool isDirectory);

// The type identifier of a regular file from its name and its first bytes,
// where the name can lie: an AppImage whatever its name, a tar archive (plain
// or compressed) and a Debian or RPM package only when the content carries
// the signature its name promises. Otherwise as typeIdentifier().
std::string contentTypeIdentifier(std::string_view fileName, std::span<const unsigned char> header);

// Whether a file of this name is named as a tar archive (".tar", ".tar.gz",
// ".tgz", ".tar.xz", ".tar.bz2", ".tar.zst" and their short forms).
bool hasTarArchiveName(std::string_view fileName);
// Whether a file of this name is named as a Debian or RPM package.
bool hasLinuxPackageName(std::string_view fileName);
// Whether a file of this name is named as an AppImage (".AppImage", any case).
bool hasAppImageName(std::string_view fileName);

// The AppImage type (1 or 2) that these first bytes carry: an ELF file with
// "AI" and the type at offset 8. Zero when they carry none.
int appImageType(std::span<const unsigned char> header);

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

    // Reads the values of the item at the path (FileError if there is none);
    // a regular file's first bytes are read to tell its type.
    static Result<ResourceValues> of(const std::filesystem::path& path);
};

} // namespace tavik
