#include "platform/foundation/TypeIdentifier.hpp"
#include "platform/foundation/FileError.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using namespace tavik;
namespace fs = std::filesystem;

TEST(TypeIdentifierTest, FromNameAndKind)
{
    EXPECT_EQ(typeIdentifier("Example.zip", false), "public.zip-archive");
    EXPECT_EQ(typeIdentifier("Example.dmg", false), "com.apple.disk-image-udif");
    EXPECT_EQ(typeIdentifier("Example.DMG", false), "com.apple.disk-image-udif");
    EXPECT_EQ(typeIdentifier("Install.pkg", false), "com.apple.installer-package-archive");
    EXPECT_EQ(typeIdentifier("Install.mpkg", false), "com.apple.installer-package-archive");
    EXPECT_EQ(typeIdentifier("Install.pkg", true), "com.apple.installer-package-archive");
    EXPECT_EQ(typeIdentifier("Example.app", true), "com.apple.application-bundle");
    EXPECT_EQ(typeIdentifier("Example.app", false), "public.data");
    EXPECT_EQ(typeIdentifier("Archive.zip", true), "public.folder");
    EXPECT_EQ(typeIdentifier("Folder", true), "public.folder");
    EXPECT_EQ(typeIdentifier("README", false), "public.data");
    EXPECT_EQ(typeIdentifier(".zip", false), "public.data");
    EXPECT_EQ(typeIdentifier("notes.txt", false), "public.plain-text");
    EXPECT_EQ(typeIdentifier("archive.tar.gz", false), "org.gnu.gnu-zip-archive");
}

TEST(TypeIdentifierTest, ApplicationsAndPackages)
{
    EXPECT_TRUE(isApplication("Example.app", true));
    EXPECT_FALSE(isApplication("Example.app", false));
    EXPECT_FALSE(isApplication("Example.apps", true));
    EXPECT_FALSE(isApplication("app", true));
    EXPECT_TRUE(isPackage("Example.app", true));
    EXPECT_TRUE(isPackage("Helper.plugin", true));
    EXPECT_TRUE(isPackage("Install.pkg", true));
    EXPECT_FALSE(isPackage("Install.pkg", false));
    EXPECT_FALSE(isPackage("Sparkle.framework", true));
    EXPECT_FALSE(isPackage("Folder", true));
}

TEST(TypeIdentifierTest, ResourceValuesDescribeTheItemNotWhatALinkPointsTo)
{
    std::string pattern = (fs::temp_directory_path() / "tavik-uti-XXXXXX").string();
    fs::path root(mkdtemp(pattern.data()));
    fs::create_directories(root / "Example.app/Contents");
    std::ofstream(root / "Example.dmg") << "image";
    fs::create_directory_symlink(root / "Example.app", root / "Link.app");
    fs::create_directory_symlink("/nowhere", root / "Dangling.app");

    auto app = ResourceValues::of(root / "Example.app");
    ASSERT_TRUE(app.ok());
    EXPECT_TRUE(app->isApplication);
    EXPECT_TRUE(app->isPackage);
    EXPECT_TRUE(app->isDirectory);
    EXPECT_EQ(app->typeIdentifier, "com.apple.application-bundle");

    auto image = ResourceValues::of(root / "Example.dmg");
    ASSERT_TRUE(image.ok());
    EXPECT_TRUE(image->isRegularFile);
    EXPECT_FALSE(image->isApplication);
    EXPECT_EQ(image->typeIdentifier, "com.apple.disk-image-udif");

    for (auto name : {"Link.app", "Dangling.app"}) {
        auto link = ResourceValues::of(root / name);
        ASSERT_TRUE(link.ok()) << name;
        EXPECT_TRUE(link->isSymbolicLink);
        EXPECT_FALSE(link->isApplication);
        EXPECT_FALSE(link->isDirectory);
        EXPECT_EQ(link->typeIdentifier, "public.symlink");
    }

    auto missing = ResourceValues::of(root / "Missing.zip");
    ASSERT_FALSE(missing.ok());
    EXPECT_TRUE(isFileError(missing.error(), FileError::Code::fileReadNoSuchFile));
    fs::remove_all(root);
}

TEST(TypeIdentifierTest, ContentDecidesWhereTheNameCanLie)
{
    auto bytes = [](std::string_view text) {
        return std::vector<unsigned char>(text.begin(), text.end());
    };
    std::string appImage2("\x7f"
                          "ELF\x02\x01\x01\0AI\x02",
        11);
    std::string appImage1("\x7f"
                          "ELF\x02\x01\x01\0AI\x01",
        11);
    std::string otherElf("\x7f"
                         "ELF\x02\x01\x01\0\0\0\0",
        11);
    std::string plainTar(512, '\0');
    plainTar.replace(257, 5, "ustar");
    struct Case {
        const char* name;
        std::string header;
        std::string_view expected;
    };
    const Case cases[] = {
        {"Tool-x86_64.AppImage", appImage2, TypeIdentifiers::appImage},
        {"tool", appImage1, TypeIdentifiers::appImage},
        {"Tool.zip", appImage2, TypeIdentifiers::appImage},
        {"Tool.AppImage", otherElf, TypeIdentifiers::data},
        {"Tool.AppImage", std::string("\x7f"
                                      "ELF\x02\x01\x01\0AI\x03",
                              11),
            TypeIdentifiers::data},
        {"App.tar.gz", "\x1f\x8b\x08", TypeIdentifiers::tarArchive},
        {"App.TGZ", "\x1f\x8b\x08", TypeIdentifiers::tarArchive},
        {"App.tar.xz", std::string("\xfd"
                                   "7zXZ\0",
                           6),
            TypeIdentifiers::tarArchive},
        {"App.tar.bz2", "BZh9", TypeIdentifiers::tarArchive},
        {"App.tar.zst", "\x28\xb5\x2f\xfd", TypeIdentifiers::tarArchive},
        {"App.tar", plainTar, TypeIdentifiers::tarArchive},
        {"no-extension", plainTar, TypeIdentifiers::tarArchive},
        // An error page saved under an archive's name is no archive.
        {"App.tar.gz", "<!DOCTYPE html>", TypeIdentifiers::data},
        {"notes.gz", "\x1f\x8b\x08", "org.gnu.gnu-zip-archive"},
        {"tool_1.0_amd64.deb", "!<arch>\ndebian-binary   ", TypeIdentifiers::debianPackage},
        {"tool.deb", "!<arch>\nother", TypeIdentifiers::data},
        {"tool.rpm", "\xed\xab\xee\xdb", TypeIdentifiers::rpmPackage},
        {"tool.rpm", "PK\x03\x04", TypeIdentifiers::data},
        {"Example.dmg", "", TypeIdentifiers::diskImage},
        {"Example.zip", "PK\x03\x04", TypeIdentifiers::zipArchive},
    };
    for (const auto& testCase : cases) {
        auto header = bytes(testCase.header);
        EXPECT_EQ(contentTypeIdentifier(testCase.name, header), testCase.expected) << testCase.name;
    }
    EXPECT_EQ(appImageType(bytes(appImage1)), 1);
    EXPECT_EQ(appImageType(bytes(appImage2)), 2);
    EXPECT_EQ(appImageType(bytes(appImage2.substr(0, 10))), 0);
}

TEST(TypeIdentifierTest, ResourceValuesReadAFilesContentButNotALinksTarget)
{
    std::string pattern = (fs::temp_directory_path() / "tavik-uti-XXXXXX").string();
    fs::path root(mkdtemp(pattern.data()));
    std::ofstream(root / "download", std::ios::binary) << std::string("\x7f"
                                                                      "ELF\x02\x01\x01\0AI\x02rest",
        15);
    fs::create_symlink(root / "download", root / "link");
    auto file = ResourceValues::of(root / "download");
    ASSERT_TRUE(file.ok());
    EXPECT_EQ(file->typeIdentifier, TypeIdentifiers::appImage);
    auto link = ResourceValues::of(root / "link");
    ASSERT_TRUE(link.ok());
    EXPECT_EQ(link->typeIdentifier, TypeIdentifiers::symbolicLink);
    fs::remove_all(root);
}
