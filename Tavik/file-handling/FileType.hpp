#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace tavik {

// What kind of download a file is, by its type identifier. Made from any
// identifier; one that is not exactly one of the three is unsupported.
class FileType {
public:
    struct Unsupported {
        std::string uti;
        bool operator==(const Unsupported&) const = default;
    };
    struct Zip {
        bool operator==(const Zip&) const = default;
    };
    struct Dmg {
        bool operator==(const Dmg&) const = default;
    };
    struct Pkg {
        bool operator==(const Pkg&) const = default;
    };

    static constexpr std::string_view zipIdentifier = "public.zip-archive";
    static constexpr std::string_view dmgIdentifier = "com.apple.disk-image-udif";
    static constexpr std::string_view pkgIdentifier = "com.apple.installer-package-archive";

    explicit FileType(std::string_view rawValue);
    static FileType unsupported(std::string uti) { return FileType(Unsupported{std::move(uti)}); }
    static FileType zip() { return FileType(Zip{}); }
    static FileType dmg() { return FileType(Dmg{}); }
    static FileType pkg() { return FileType(Pkg{}); }

    std::string rawValue() const;
    bool isSupported() const { return !std::holds_alternative<Unsupported>(value); }

    bool operator==(const FileType&) const = default;

    std::variant<Unsupported, Zip, Dmg, Pkg> value;

private:
    explicit FileType(std::variant<Unsupported, Zip, Dmg, Pkg> v)
        : value(std::move(v))
    {
    }
};

} // namespace tavik
