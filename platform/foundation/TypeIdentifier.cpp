#include "platform/foundation/TypeIdentifier.hpp"

#include "platform/foundation/FileError.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavik {

namespace {

struct Entry {
    std::string_view extension;
    std::string_view identifier;
};

// Files, by extension.
constexpr Entry fileTypes[] = {
    {"zip", TypeIdentifiers::zipArchive},
    {"dmg", TypeIdentifiers::diskImage},
    {"pkg", TypeIdentifiers::installerPackage},
    {"mpkg", TypeIdentifiers::installerPackage},
    {"gz", "org.gnu.gnu-zip-archive"},
    {"tgz", "org.gnu.gnu-zip-tar-archive"},
    {"bz2", "public.bzip2-archive"},
    {"tar", "public.tar-archive"},
    {"7z", "org.7-zip.7-zip-archive"},
    {"iso", "public.iso-image"},
    {"txt", "public.plain-text"},
    {"html", "public.html"},
    {"htm", "public.html"},
    {"json", "public.json"},
    {"xml", "public.xml"},
    {"plist", "com.apple.property-list"},
    {"pdf", "com.adobe.pdf"},
    {"png", "public.png"},
    {"jpg", "public.jpeg"},
    {"jpeg", "public.jpeg"},
    {"gif", "com.compuserve.gif"},
    {"sh", "public.shell-script"},
    {"dylib", "com.apple.mach-o-dylib"},
};

// Directories that are bundles, by extension; `package` says whether the
// bundle is shown and handled as a single item.
struct BundleEntry {
    std::string_view extension;
    std::string_view identifier;
    bool package;
};

constexpr BundleEntry bundleTypes[] = {
    {"app", TypeIdentifiers::applicationBundle, true},
    {"pkg", TypeIdentifiers::installerPackage, true},
    {"mpkg", TypeIdentifiers::installerPackage, true},
    {"bundle", "com.apple.bundle", true},
    {"plugin", "com.apple.plugin", true},
    {"kext", "com.apple.kernel-extension", true},
    {"appex", "com.apple.application-and-system-extension", true},
    {"xpc", "com.apple.xpc-service", true},
    {"prefpane", "com.apple.systempreference.prefpane", true},
    {"qlgenerator", "com.apple.quicklook-generator", true},
    {"mdimporter", "com.apple.metadata-importer", true},
    {"saver", "com.apple.systempreference.screen-saver", true},
    {"rtfd", "com.apple.rtfd", true},
    // Frameworks are bundles that are browsed as folders.
    {"framework", "com.apple.framework", false},
};

std::string lowercaseExtension(std::string_view fileName)
{
    auto dot = fileName.rfind('.');
    // No extension, or a name that is only a leading dot (".hidden").
    if (dot == std::string_view::npos || dot == 0)
        return {};
    std::string extension(fileName.substr(dot + 1));
    std::transform(extension.begin(), extension.end(), extension.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

const BundleEntry* bundleType(std::string_view fileName)
{
    auto extension = lowercaseExtension(fileName);
    for (const auto& entry : bundleTypes)
        if (entry.extension == extension)
            return &entry;
    return nullptr;
}

bool startsWith(std::span<const unsigned char> bytes, std::string_view signature, size_t offset = 0)
{
    if (bytes.size() < offset + signature.size())
        return false;
    return std::equal(signature.begin(), signature.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset),
        [](char expected, unsigned char actual) { return static_cast<unsigned char>(expected) == actual; });
}

bool endsWithLowercase(std::string_view name, std::string_view suffix)
{
    if (name.size() <= suffix.size())
        return false;
    auto tail = name.substr(name.size() - suffix.size());
    return std::equal(tail.begin(), tail.end(), suffix.begin(),
        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

// A tar archive, uncompressed or in one of the compressions libarchive reads.
bool carriesTarSignature(std::span<const unsigned char> header)
{
    using namespace std::string_view_literals;
    return startsWith(header, "\x1f\x8b"sv) // gzip
        || startsWith(header, "\xfd"
                              "7zXZ\0"sv) // xz
        || startsWith(header, "BZh"sv) // bzip2
        || startsWith(header, "\x28\xb5\x2f\xfd"sv) // zstd
        || startsWith(header, "ustar"sv, 257);
}

// Bytes enough for every signature above.
constexpr size_t headerLength = 512;

} // namespace

bool hasTarArchiveName(std::string_view fileName)
{
    for (std::string_view suffix : {".tar", ".tar.gz", ".tgz", ".tar.xz", ".txz", ".tar.bz2", ".tbz2", ".tbz", ".tar.zst", ".tzst"})
        if (endsWithLowercase(fileName, suffix))
            return true;
    return false;
}

bool hasLinuxPackageName(std::string_view fileName)
{
    return endsWithLowercase(fileName, ".deb") || endsWithLowercase(fileName, ".rpm");
}

bool hasAppImageName(std::string_view fileName)
{
    return endsWithLowercase(fileName, ".appimage");
}

int appImageType(std::span<const unsigned char> header)
{
    using namespace std::string_view_literals;
    if (header.size() < 11 || !startsWith(header, "\x7f"
                                                  "ELF"sv)
        || !startsWith(header, "AI"sv, 8))
        return 0;
    int type = header[10];
    return type == 1 || type == 2 ? type : 0;
}

std::string contentTypeIdentifier(std::string_view fileName, std::span<const unsigned char> header)
{
    using namespace std::string_view_literals;
    if (appImageType(header) != 0)
        return std::string(TypeIdentifiers::appImage);
    if (hasTarArchiveName(fileName))
        return std::string(carriesTarSignature(header) ? TypeIdentifiers::tarArchive : TypeIdentifiers::data);
    if (endsWithLowercase(fileName, ".deb"))
        return std::string(startsWith(header, "!<arch>\ndebian-binary"sv) ? TypeIdentifiers::debianPackage : TypeIdentifiers::data);
    if (endsWithLowercase(fileName, ".rpm"))
        return std::string(startsWith(header, "\xed\xab\xee\xdb"sv) ? TypeIdentifiers::rpmPackage : TypeIdentifiers::data);
    auto byName = typeIdentifier(fileName, false);
    if (byName == TypeIdentifiers::data && startsWith(header, "ustar"sv, 257))
        return std::string(TypeIdentifiers::tarArchive);
    return byName;
}

std::string typeIdentifier(std::string_view fileName, bool isDirectory)
{
    if (isDirectory) {
        auto* bundle = bundleType(fileName);
        return std::string(bundle ? bundle->identifier : TypeIdentifiers::folder);
    }
    auto extension = lowercaseExtension(fileName);
    for (const auto& entry : fileTypes)
        if (entry.extension == extension)
            return std::string(entry.identifier);
    return std::string(TypeIdentifiers::data);
}

bool isPackage(std::string_view fileName, bool isDirectory)
{
    if (!isDirectory)
        return false;
    auto* bundle = bundleType(fileName);
    return bundle && bundle->package;
}

bool isApplication(std::string_view fileName, bool isDirectory)
{
    return isDirectory && lowercaseExtension(fileName) == "app";
}

Result<ResourceValues> ResourceValues::of(const std::filesystem::path& path)
{
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0)
        return FileError::fromErrno(errno, path, false);

    auto name = path.filename().string();
    ResourceValues values;
    values.isDirectory = S_ISDIR(status.st_mode);
    values.isSymbolicLink = S_ISLNK(status.st_mode);
    values.isRegularFile = S_ISREG(status.st_mode);
    if (values.isSymbolicLink) {
        values.typeIdentifier = TypeIdentifiers::symbolicLink;
    } else if (values.isRegularFile) {
        // O_NOFOLLOW: what lies at the path now is what was described above.
        std::array<unsigned char, headerLength> header {};
        ssize_t length = 0;
        int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            length = ::pread(fd, header.data(), header.size(), 0);
            ::close(fd);
        }
        values.typeIdentifier = contentTypeIdentifier(name, std::span(header.data(), length > 0 ? size_t(length) : 0));
    } else if (values.isDirectory)
        values.typeIdentifier = tavik::typeIdentifier(name, values.isDirectory);
    else
        values.typeIdentifier = TypeIdentifiers::item;
    values.isApplication = tavik::isApplication(name, values.isDirectory);
    values.isPackage = tavik::isPackage(name, values.isDirectory);
    return values;
}

} // namespace tavik
