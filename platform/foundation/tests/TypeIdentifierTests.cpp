#include "platform/foundation/TypeIdentifier.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

using namespace tavik;
namespace fs = std::filesystem;

namespace {

std::vector<unsigned char> bytes(std::string_view text) { return {text.begin(), text.end()}; }

// ELF headers carrying the AppImage magic of type 1 and 2.
const std::string appImage1("\177ELF\2\1\1\0AI\1", 11);
const std::string appImage2("\177ELF\2\1\1\0AI\2", 11);

} // namespace

// The identifiers that select how a download is handled, from the name and
// whether the item is a folder. (Which folders are packages shows in what a
// directory walk goes into.)
TEST(TypeIdentifierTest, FromNameAndKind)
{
    struct Case {
        const char* name;
        bool isDirectory;
        const char* expected;
    };
    const Case cases[] = {{"Example.zip", false, "public.zip-archive"}, {"Example.DMG", false, "com.apple.disk-image-udif"},
        {"Install.mpkg", false, "com.apple.installer-package-archive"}, {"Install.pkg", true, "com.apple.installer-package-archive"},
        {"Example.app", true, "com.apple.application-bundle"}, {"Example.app", false, "public.data"}, {"Archive.zip", true, "public.folder"},
        {".zip", false, "public.data"}, {"archive.tar.gz", false, "org.gnu.gnu-zip-archive"}};
    for (const auto& [name, isDirectory, expected] : cases)
        EXPECT_EQ(typeIdentifier(name, isDirectory), expected) << name;
    EXPECT_TRUE(isApplication("Example.app", true));
    for (auto [name, isDirectory] : {std::pair {"Example.app", false}, {"Example.apps", true}, {"app", true}})
        EXPECT_FALSE(isApplication(name, isDirectory)) << name;
}

TEST(TypeIdentifierTest, ContentDecidesWhereTheNameCanLie)
{
    std::string plainTar(512, '\0');
    plainTar.replace(257, 5, "ustar");
    struct Case {
        const char* name;
        std::string header;
        std::string_view expected;
    };
    const Case cases[] = {
        {"Tool-x86_64.AppImage", appImage2, TypeIdentifiers::appImage}, {"tool", appImage1, TypeIdentifiers::appImage}, {"Tool.zip", appImage2, TypeIdentifiers::appImage},
        {"Tool.AppImage", std::string("\177ELF\2\1\1\0\0\0\0", 11), TypeIdentifiers::data}, {"Tool.AppImage", std::string("\177ELF\2\1\1\0AI\3", 11), TypeIdentifiers::data},
        {"App.tar.gz", "\x1f\x8b\x08", TypeIdentifiers::tarArchive}, {"App.TGZ", "\x1f\x8b\x08", TypeIdentifiers::tarArchive},
        {"App.tar.xz", std::string("\3757zXZ\0", 6), TypeIdentifiers::tarArchive}, {"App.tar.bz2", "BZh9", TypeIdentifiers::tarArchive},
        {"App.tar.zst", "\x28\xb5\x2f\xfd", TypeIdentifiers::tarArchive}, {"App.tar", plainTar, TypeIdentifiers::tarArchive}, {"no-extension", plainTar, TypeIdentifiers::tarArchive},
        // An error page saved under an archive's name is no archive.
        {"App.tar.gz", "<!DOCTYPE html>", TypeIdentifiers::data}, {"notes.gz", "\x1f\x8b\x08", "org.gnu.gnu-zip-archive"},
        {"tool_1.0_amd64.deb", "!<arch>\ndebian-binary   ", TypeIdentifiers::debianPackage}, {"tool.deb", "!<arch>\nother", TypeIdentifiers::data},
        {"tool.rpm", "\xed\xab\xee\xdb", TypeIdentifiers::rpmPackage}, {"tool.rpm", "PK\x03\x04", TypeIdentifiers::data},
        {"Example.dmg", "", TypeIdentifiers::diskImage}, {"Example.zip", "PK\x03\x04", TypeIdentifiers::zipArchive}};
    for (const auto& testCase : cases)
        EXPECT_EQ(contentTypeIdentifier(testCase.name, bytes(testCase.header)), testCase.expected) << testCase.name;
    EXPECT_EQ(appImageType(bytes(appImage1)), 1);
    EXPECT_EQ(appImageType(bytes(appImage2)), 2);
    EXPECT_EQ(appImageType(bytes(appImage2.substr(0, 10))), 0);
}

// Resource values read a file's content, and describe a link itself, never
// what it points to.
TEST(TypeIdentifierTest, ResourceValuesDescribeTheItemNotWhatALinkPointsTo)
{
    tavik::testing::ScratchFolder root("tavik-uti");
    tavik::testing::writeFile(root / "Example.app/Contents/Info.plist", "");
    tavik::testing::writeFile(root / "Example.dmg", "image");
    tavik::testing::writeFile(root / "download", appImage2 + "rest");
    fs::create_directory_symlink(root / "Example.app", root / "Link.app");
    fs::create_directory_symlink("/nowhere", root / "Dangling.app");
    fs::create_symlink(root / "download", root / "link");

    // What each item is, as flags: application, package, folder, regular file, link.
    const std::tuple<const char*, std::string_view, std::string> cases[] = {{"Example.app", "com.apple.application-bundle", "APD--"},
        {"Example.dmg", "com.apple.disk-image-udif", "---R-"}, {"download", TypeIdentifiers::appImage, "---R-"},
        {"Link.app", TypeIdentifiers::symbolicLink, "----L"}, {"Dangling.app", TypeIdentifiers::symbolicLink, "----L"}, {"link", TypeIdentifiers::symbolicLink, "----L"}};
    for (const auto& [name, type, flags] : cases) {
        auto values = ResourceValues::of(root / name);
        ASSERT_TRUE(values.ok()) << name;
        EXPECT_EQ(values->typeIdentifier, type) << name;
        auto flag = [](bool set, char letter) { return set ? letter : '-'; };
        EXPECT_EQ(std::string({flag(values->isApplication, 'A'), flag(values->isPackage, 'P'), flag(values->isDirectory, 'D'), flag(values->isRegularFile, 'R'), flag(values->isSymbolicLink, 'L')}), flags) << name;
    }
    EXPECT_TRUE(isFileError(ResourceValues::of(root / "Missing.zip").error(), FileError::Code::fileReadNoSuchFile));
}
