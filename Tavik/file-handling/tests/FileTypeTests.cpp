#include "Tavik/file-handling/FileType.hpp"

#include <gtest/gtest.h>

using tavik::FileType;

// The type identifiers are what the content-type guess reports: each names
// one case exactly, and anything else is unsupported and keeps its identifier.
TEST(FileTypeTest, EachIdentifierNamesItsCaseExactly)
{
    const struct {
        const char* identifier;
        FileType expected;
        bool isSupported, isPackage;
    } cases[] = {
        {"public.zip-archive", FileType::zip(), true, false},
        {"com.apple.disk-image-udif", FileType::dmg(), true, false},
        {"com.apple.installer-package-archive", FileType::pkg(), true, true},
        {"public.tar-archive", FileType::tar(), true, false},
        {"org.appimage.appimage", FileType::appImage(), true, false},
        {"org.debian.deb-archive", FileType::deb(), true, true},
        {"com.redhat.rpm-archive", FileType::rpm(), true, true},
        {"com.apple.disk-image", FileType::unsupported("com.apple.disk-image"), false, false},
        {"PUBLIC.ZIP-ARCHIVE", FileType::unsupported("PUBLIC.ZIP-ARCHIVE"), false, false},
        {"", FileType::unsupported(""), false, false},
    };
    for (const auto& [identifier, expected, isSupported, isPackage] : cases) {
        SCOPED_TRACE(identifier);
        FileType type(identifier);
        EXPECT_EQ(type, expected);
        EXPECT_EQ(type.isSupported(), isSupported);
        EXPECT_EQ(type.isPackage(), isPackage);
        EXPECT_EQ(type.rawValue(), identifier);
    }
}
