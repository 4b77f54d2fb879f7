#include "platform/foundation/TypeIdentifier.hpp"

#include "platform/foundation/FileError.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <sys/stat.h>

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

} // namespace

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
    if (values.isSymbolicLink)
        values.typeIdentifier = TypeIdentifiers::symbolicLink;
    else if (values.isDirectory || values.isRegularFile)
        values.typeIdentifier = tavik::typeIdentifier(name, values.isDirectory);
    else
        values.typeIdentifier = TypeIdentifiers::item;
    values.isApplication = tavik::isApplication(name, values.isDirectory);
    values.isPackage = tavik::isPackage(name, values.isDirectory);
    return values;
}

} // namespace tavik
