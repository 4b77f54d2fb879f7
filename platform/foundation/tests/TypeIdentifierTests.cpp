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
