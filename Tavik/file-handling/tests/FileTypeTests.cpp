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
