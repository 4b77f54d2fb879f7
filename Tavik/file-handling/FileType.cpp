#include "Tavik/file-handling/FileType.hpp"

namespace tavik {

FileType::FileType(std::string_view rawValue)
{
    if (rawValue == zipIdentifier)
        value = Zip{};
    else if (rawValue == dmgIdentifier)
        value = Dmg{};
    else if (rawValue == pkgIdentifier)
        value = Pkg{};
    else
        value = Unsupported{std::string(rawValue)};
}

std::string FileType::rawValue() const
{
    struct Raw {
        std::string operator()(const Unsupported& unsupported) const { return unsupported.uti; }
        std::string operator()(const Zip&) const { return std::string(zipIdentifier); }
        std::string operator()(const Dmg&) const { return std::string(dmgIdentifier); }
        std::string operator()(const Pkg&) const { return std::string(pkgIdentifier); }
    };
    return std::visit(Raw{}, value);
}

} // namespace tavik
