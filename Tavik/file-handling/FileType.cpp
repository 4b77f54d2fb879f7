#include "Tavik/file-handling/FileType.hpp"

namespace tavik {

FileType::FileType(std::string_view rawValue)
{
    if (rawValue == zipIdentifier)
        value = Zip {};
    else if (rawValue == dmgIdentifier)
        value = Dmg {};
    else if (rawValue == pkgIdentifier)
        value = Pkg {};
    else if (rawValue == tarIdentifier)
        value = Tar {};
    else if (rawValue == appImageIdentifier)
        value = AppImage {};
    else if (rawValue == debIdentifier || rawValue == rpmIdentifier)
        value = LinuxPackage {std::string(rawValue)};
    else
        value = Unsupported {std::string(rawValue)};
}

std::string FileType::rawValue() const
{
    struct Raw {
        std::string operator()(const Unsupported& unsupported) const { return unsupported.uti; }
        std::string operator()(const Zip&) const { return std::string(zipIdentifier); }
        std::string operator()(const Dmg&) const { return std::string(dmgIdentifier); }
        std::string operator()(const Pkg&) const { return std::string(pkgIdentifier); }
        std::string operator()(const Tar&) const { return std::string(tarIdentifier); }
        std::string operator()(const AppImage&) const { return std::string(appImageIdentifier); }
        std::string operator()(const LinuxPackage& package) const { return package.uti; }
    };
    return std::visit(Raw {}, value);
}

} // namespace tavik
