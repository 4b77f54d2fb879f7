#include "service-protocol/DBusMapping.hpp"

#include "platform/strings/UTF8.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using namespace tavik::service::dbus;

namespace {

TEST(DBusMappingTest, TextsThatAreNotUTF8AreRepaired)
{
    EXPECT_EQ(replacingInvalidUTF8("a\377b"), "a\uFFFDb");
    EXPECT_EQ(replacingInvalidUTF8(std::string("a\0b", 3)), "a\uFFFDb");
    EXPECT_EQ(replacingInvalidUTF8("Ü ok"), "Ü ok");
    EXPECT_TRUE(isValidUTF8(std::get<2>(encodeError(GenericError::make("domain", 1, "path /tmp/\376")).front())));
}

} // namespace
