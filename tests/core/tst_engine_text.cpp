#include "connections/engine.h"

#include "support/testenvironment.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(EngineText, HostOfUrlStopsAtTheFirstDelimiter)
{
    EXPECT_EQ(HostOfUrl("www.example.com/dir/x.html"), "www.example.com");
    EXPECT_EQ(HostOfUrl("www.example.com:8080/x"), "www.example.com:8080");
    EXPECT_EQ(HostOfUrl("www.example.com?q"), "www.example.com");
    EXPECT_EQ(HostOfUrl("www.example.com\\x"), "www.example.com");
    EXPECT_EQ(HostOfUrl("/x"), "");
    EXPECT_EQ(HostOfUrl("host"), "host");
}

TEST(EngineText, StripSchemeLowerCasesOnlyWhenItRemovesTheScheme)
{
    EXPECT_EQ(StripScheme("  HTTP://Example.COM/A.html "), "example.com/a.html");
    EXPECT_EQ(StripScheme("Example.COM/A.html"), "Example.COM/A.html");
    EXPECT_EQ(StripScheme("example.com\\img\\a.gif"), "example.com/img/a.gif");
    EXPECT_EQ(StripScheme("x/http:\\\\y"), "x/y");
}

TEST(EngineText, FormatByteSizeKeepsThreeSignificantDigits)
{
    EXPECT_EQ(FormatByteSize(0), QStringLiteral("0 bytes"));
    EXPECT_EQ(FormatByteSize(532), QStringLiteral("532 bytes"));
    EXPECT_EQ(FormatByteSize(1229), QStringLiteral("1.20 KB"));
    EXPECT_EQ(FormatByteSize(12595), QStringLiteral("12.2 KB"));
    EXPECT_EQ(FormatByteSize(125952), QStringLiteral("123 KB"));
    EXPECT_EQ(FormatByteSize(1048575), QStringLiteral("1023 KB"));
    EXPECT_EQ(FormatByteSize(1258292), QStringLiteral("1.20 MB"));
    EXPECT_EQ(FormatByteSize(std::int64_t(5) << 30), QStringLiteral("5.00 GB"));
}

} // namespace
} // namespace tw
