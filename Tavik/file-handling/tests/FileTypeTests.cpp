#include "Tavik/file-handling/FileType.hpp"

#include <gtest/gtest.h>

using tavik::FileType;

// The type identifiers are what the content-type guess reports: each names one case exactly.
TEST(FileTypeTest, EachIdentifierNamesItsCaseExactly)
{
    const struct {
        const char* identifier;
        FileType expected;
        bool isPackage;
    } cases[] = {
        {"public.zip-archive", FileType::zip(), false},
        {"com.apple.disk-image-udif", FileType::dmg(), false},
        {"com.apple.installer-package-archive", FileType::pkg(), true},
        {"public.tar-archive", FileType::tar(), false},
        {"org.appimage.appimage", FileType::appImage(), false},
        {"org.debian.deb-archive", FileType::deb(), true},
        {"com.redhat.rpm-archive", FileType::rpm(), true},
    };
    for (const auto& [identifier, expected, isPackage] : cases) {
        SCOPED_TRACE(identifier);
        EXPECT_EQ(FileType(identifier), expected);
        EXPECT_TRUE(expected.isSupported());
        EXPECT_EQ(expected.isPackage(), isPackage);
        EXPECT_EQ(expected.rawValue(), identifier);
    }
}

TEST(FileTypeTest, AnythingElseIsUnsupportedAndKeepsItsIdentifier)
{
    for (const char* identifier : {"com.apple.disk-image", "PUBLIC.ZIP-ARCHIVE", "public.zip-archive ", "", "public.data",
             "com.apple.installer-package", "org.gnu.gnu-zip-archive"}) {
        FileType type(identifier);
        EXPECT_FALSE(type.isSupported()) << identifier;
        EXPECT_EQ(type, FileType::unsupported(identifier));
        EXPECT_EQ(type.rawValue(), identifier);
    }
}
