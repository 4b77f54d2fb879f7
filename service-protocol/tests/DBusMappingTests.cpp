#include "service-protocol/DBusMapping.hpp"

#include "platform/strings/UTF8.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::service::dbus;

namespace {

TEST(DBusMappingTest, OptionalsTravelAsArraysOfAtMostOneElement)
{
    EXPECT_TRUE(encodeURL(std::nullopt).empty());
    EXPECT_FALSE(decodeURL({}));
    auto url = decodeURL(encodeURL(URL::fileURL("/tmp/mounts/Vol ü", true)));
    ASSERT_TRUE(url);
    EXPECT_EQ(url->path(), "/tmp/mounts/Vol ü");

    EXPECT_TRUE(encodeError(nullptr).empty());
    EXPECT_EQ(decodeError({}), nullptr);
    auto error = decodeError(encodeError(GenericError::make("DuvrinXPC.MountDMGError", 2, "bad output")));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), "DuvrinXPC.MountDMGError");
    EXPECT_EQ(error->code(), 2);
    EXPECT_EQ(error->description(), "bad output");
}

TEST(DBusMappingTest, TextsThatAreNotUTF8AreRepaired)
{
    EXPECT_EQ(replacingInvalidUTF8("a\377b"), "a\uFFFDb");
    EXPECT_EQ(replacingInvalidUTF8(std::string("a\0b", 3)), "a\uFFFDb");
    EXPECT_EQ(replacingInvalidUTF8("Ü ok"), "Ü ok");
    EXPECT_TRUE(isValidUTF8(std::get<2>(encodeError(GenericError::make("domain", 1, "path /tmp/\376")).front())));
}

} // namespace
