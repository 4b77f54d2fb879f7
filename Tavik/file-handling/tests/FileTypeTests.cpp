#include "Tavik/file-handling/FileType.hpp"

#include <gtest/gtest.h>

using tavik::FileType;

TEST(FileTypeTest, TheThreeIdentifiersAreRecognisedExactly)
{
    EXPECT_EQ(FileType("public.zip-archive"), FileType::zip());
    EXPECT_EQ(FileType("com.apple.disk-image-udif"), FileType::dmg());
    EXPECT_EQ(FileType("com.apple.installer-package-archive"), FileType::pkg());
    EXPECT_TRUE(FileType::zip().isSupported());
    EXPECT_EQ(FileType::dmg().rawValue(), "com.apple.disk-image-udif");
}

TEST(FileTypeTest, AnythingElseIsUnsupportedAndKeepsItsIdentifier)
{
    for (const char* identifier : {"com.apple.disk-image", "PUBLIC.ZIP-ARCHIVE", "public.zip-archive ", "", "public.data",
             "com.apple.installer-package"}) {
        FileType type(identifier);
        EXPECT_FALSE(type.isSupported()) << identifier;
        EXPECT_EQ(type, FileType::unsupported(identifier));
        EXPECT_EQ(type.rawValue(), identifier);
    }
}

TEST(FileTypeTest, LinuxShapesHaveTheirOwnCases)
{
    EXPECT_EQ(FileType("public.tar-archive"), FileType::tar());
    EXPECT_EQ(FileType("org.appimage.appimage"), FileType::appImage());
    EXPECT_EQ(FileType("org.debian.deb-archive"), FileType::deb());
    EXPECT_EQ(FileType("com.redhat.rpm-archive"), FileType::rpm());
    EXPECT_EQ(FileType::rpm().rawValue(), "com.redhat.rpm-archive");
    EXPECT_TRUE(FileType::deb().isPackage());
    EXPECT_TRUE(FileType::pkg().isPackage());
    EXPECT_FALSE(FileType::appImage().isPackage());
    EXPECT_FALSE(FileType("org.gnu.gnu-zip-archive").isSupported());
}
