#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace tavik {

// What kind of download a file is, by its type identifier. Made from any
// identifier; one that is not exactly one of the known ones is unsupported.
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
    // A tar archive, plain or compressed: searched like a ZIP archive.
    struct Tar {
        bool operator==(const Tar&) const = default;
    };
    // An AppImage: an application in one file.
    struct AppImage {
        bool operator==(const AppImage&) const = default;
    };
    // A Debian or RPM package: opened in place, like an installer package.
    struct LinuxPackage {
        std::string uti;
        bool operator==(const LinuxPackage&) const = default;
    };

    static constexpr std::string_view zipIdentifier = "public.zip-archive";
    static constexpr std::string_view dmgIdentifier = "com.apple.disk-image-udif";
    static constexpr std::string_view pkgIdentifier = "com.apple.installer-package-archive";
    static constexpr std::string_view tarIdentifier = "public.tar-archive";
    static constexpr std::string_view appImageIdentifier = "org.appimage.appimage";
    static constexpr std::string_view debIdentifier = "org.debian.deb-archive";
    static constexpr std::string_view rpmIdentifier = "com.redhat.rpm-archive";

    explicit FileType(std::string_view rawValue);
    static FileType unsupported(std::string uti) { return FileType(Unsupported {std::move(uti)}); }
    static FileType zip() { return FileType(Zip {}); }
    static FileType dmg() { return FileType(Dmg {}); }
    static FileType pkg() { return FileType(Pkg {}); }
    static FileType tar() { return FileType(Tar {}); }
    static FileType appImage() { return FileType(AppImage {}); }
    static FileType deb() { return FileType(LinuxPackage {std::string(debIdentifier)}); }
    static FileType rpm() { return FileType(LinuxPackage {std::string(rpmIdentifier)}); }

    std::string rawValue() const;
    bool isSupported() const { return !std::holds_alternative<Unsupported>(value); }

    bool operator==(const FileType&) const = default;

    // Opened where it lies rather than searched: an installer package, a
    // Debian or RPM package.
    bool isPackage() const { return std::holds_alternative<Pkg>(value) || std::holds_alternative<LinuxPackage>(value); }

    using Value = std::variant<Unsupported, Zip, Dmg, Pkg, Tar, AppImage, LinuxPackage>;
    Value value;

private:
    explicit FileType(Value v)
        : value(std::move(v))
    {
    }
};

} // namespace tavik
