#include "extractor/urlnormalize.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(NormalizeLink, GivesSiteUrlsOrRejects)
{
    const struct
    {
        const char *raw;
        const char *base;
        const char *expected; // nullptr: rejected
        const char *host = "host.com";
    } cases[] = {
        {"page.html", "host.com/dir/", "host.com/dir/page.html"},
        {"../a.html", "host.com/dir/", "host.com/dir/../a.html"},
        {"./a.html", "host.com/dir/", "host.com/dir/./a.html"},
        {"/b.html", "host.com/a/", "host.com/b.html"},
        {"/img/b.gif", "host.com/a/b/", "host.com/img/b.gif"},
        {"//b.html", "host.com/a/", nullptr}, // the host "b.html"
        {"//www.host.com/c.html", "host.com/a/", "www.host.com/c.html"},
        {"HTTP://Host.com:8080/d.html", "host.com/a/", "Host.com:8080/d.html"},
        {"https://host.com/s.html", "host.com/a/", nullptr}, // a plain job's links are http
        {"http://docs.host.com/x.html", "host.com/", "docs.host.com/x.html"},
        {"http://WWW.HOST.COM/x.html", "host.com/", "WWW.HOST.COM/x.html"},
        {"http://nothost.com/x.html", "host.com/", nullptr},
        {"http://host.com.evil.org/x.html", "host.com/", nullptr},
        {"dir\\b.html", "host.com/", "host.com/dir/b.html"},
        {"sub/", "host.com/", "host.com/sub/index.html"},
        {"", "host.com/dir/", "host.com/dir/index.html"},
        {"http://www.Host.com/x.html", "host.com/", "www.Host.com/x.html"},
        {"http://host.com//x.html", "host.com/", "host.com/x.html"},
        {"http://host.de//x//y.html", "host.de/", "host.de/x/y.html", "host.de"},
        {"http://http://host.com/r.html", "host.com/", "host.com/r.html"},
        {"http://other.org/x.html", "host.com/", nullptr},
        {"http://other.org/host.com/x.html", "host.com/", nullptr},
        {"mailto:me", "other.org/", nullptr},
        {"y.html", "a//b/", "a//b/y.html", "a"}, // inside the first seven characters
    };
    for (const auto &c : cases) {
        const auto result = NormalizeLink(c.raw, c.base, c.host);
        if (c.expected)
            EXPECT_EQ(result, std::optional<std::string>(c.expected)) << c.raw;
        else
            EXPECT_EQ(result, std::nullopt) << c.raw;
    }
}

TEST(UrlOperations, ResolveTidyCollapseAndMapToPaths)
{
    EXPECT_EQ(ResolveDotDot("host/a/b/../c.html"), "host/a/c.html");
    EXPECT_EQ(ResolveDotDot("host/ab/b/../c.html"), "host/ab/c.html");
    EXPECT_EQ(ResolveDotDot("host/a/../../c.html"), "host/c.html");
    EXPECT_EQ(ResolveDotDot("host/../c.html"), "host/c.html");
    EXPECT_EQ(ResolveDotDot("host\\a\\..\\c"), "host/c");
    EXPECT_EQ(TidyLink("host/./a/./b"), "host/a/b");
    EXPECT_EQ(TidyLink("host/././b"), "host/./b");
    EXPECT_EQ(TidyLink("http:/host/x"), "http://host/x");
    EXPECT_EQ(TidyLink("http://host/x"), "http://host/x");
    EXPECT_EQ(CollapseSlashes("0123456//x///y"), "0123456/x//y");
    EXPECT_EQ(CollapseSlashes("a//b"), "a//b");
    EXPECT_EQ(UrlToRelativePath(" HTTP://www.host/a/b.html "), "host\\a\\b.html");
    EXPECT_EQ(UrlToRelativePath("www.host.com/www.x"), "host.com\\x");
    EXPECT_TRUE(ClimbsAboveHost("a/b.com/../x"));
    EXPECT_TRUE(ClimbsAboveHost("h.info/.."));
    EXPECT_FALSE(ClimbsAboveHost("h.xyz/../x"));
    EXPECT_FALSE(ClimbsAboveHost("h.COM/../x"));
}

} // namespace
} // namespace tw
