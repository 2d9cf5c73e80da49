// Reading start URLs, redirects and their answers, and naming what is stored for them.

#include "connections/siteaddress.h"
#include "output/localpath.h"
#include "output/redirectpage.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(SiteAddress, StartUrlsAsTyped)
{
    const struct
    {
        const char *typed;
        bool secure;
        const char *url; // host and path as the job uses them
        bool wwwAdded;
    } cases[] = {
        {"  http://site.test/docs/ ", false, "www.site.test/docs/", true},
        {"site.test", false, "www.site.test", true},
        {"HTTPS://Site.test/", true, "www.Site.test/", true},
        {"https://www.site.test:443/", true, "www.site.test/", false},
        {"http://site.test:80/", false, "www.site.test/", true},
        {"https://site.test:80/", true, "www.site.test:80/", true},
        {"http://site.test:8080/a", false, "www.site.test:8080/a", true},
        {"http://localhost:8080/", false, "localhost:8080/", false},
        {"http://LOCALHOST/", false, "LOCALHOST/", false},
        {"http://127.0.0.1/", false, "127.0.0.1/", false},
        {"http://[::1]:8080/", false, "[::1]:8080/", false},
        {"http://intranet/", false, "intranet/", false},
        {"http://shop.site.test/", false, "www.shop.site.test/", true},
        {"http://site.test/www.html", false, "site.test/www.html", false},
    };
    for (const auto &c : cases) {
        const StartAddress start = ParseStartUrl(c.typed);
        EXPECT_EQ(start.address.secure, c.secure) << c.typed;
        EXPECT_EQ(start.address.Url(), c.url) << c.typed;
        EXPECT_EQ(start.wwwAdded, c.wwwAdded) << c.typed;
    }
}

TEST(SiteAddress, LocationsAreReadAgainstTheAddressThatAnswered)
{
    const SiteAddress from {false, "www.site.test", "/dir/page.html"};
    const struct
    {
        const char *location;
        const char *absolute; // nullptr: not an address to follow
    } cases[] = {
        {"https://Site.Test/new/", "https://site.test/new/"},
        {"HTTP://www.site.test:80/x#part", "http://www.site.test/x"},
        {"https://www.site.test:443", "https://www.site.test/"},
        {"http://site.test?q=1", "http://site.test/?q=1"},
        {"//other.test:8080/y", "http://other.test:8080/y"},
        {"/root.html", "http://www.site.test/root.html"},
        {"next.html", "http://www.site.test/dir/next.html"},
        {" ../up.html ", "http://www.site.test/dir/../up.html"},
        {"mailto:a@site.test", nullptr},
        {"http://", nullptr},
    };
    for (const auto &c : cases) {
        const std::optional<SiteAddress> to = ResolveLocation(c.location, from);
        ASSERT_EQ(to.has_value(), c.absolute != nullptr) << c.location;
        if (to) {
            EXPECT_EQ(AbsoluteUrl(*to), c.absolute) << c.location;
        }
    }
}

TEST(SiteAddress, SameSiteIgnoresCaseWwwAndPort)
{
    EXPECT_TRUE(SameSite("www.site.test", "Site.Test:8443"));
    EXPECT_TRUE(SameSite("[::1]:80", "[::1]"));
    EXPECT_FALSE(SameSite("www.site.test", "shop.site.test"));
    EXPECT_FALSE(SameSite("site.test", "site.test.evil"));
}

TEST(RedirectPage, LeadsOnRelativelyAndEscapesWhatTheServerSent)
{
    const struct
    {
        const char *from;
        const char *to;
        const char *href;
    } cases[] = {
        {"C:\\w\\site\\old.html", "C:\\w\\site\\new\\page.html", "new/page.html"},
        {"C:\\w\\site\\a\\b\\old.html", "C:\\w\\site\\top.html", "../../top.html"},
        {"C:\\w\\site\\a\\old.html", "C:\\w\\site\\b\\my page#1.html", "../b/my%20page%231.html"},
        {"C:\\w\\site\\old.html", "C:\\w\\site+8080\\x.html", "../site+8080/x.html"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(RelativeHref(c.from, c.to), c.href) << c.to;

    const std::string page = RedirectPage("x?a=1&b=\"<2>\"");
    EXPECT_NE(page.find("content=\"0; url=x?a=1&amp;b=&quot;&lt;2&gt;&quot;\""), std::string::npos);
    EXPECT_NE(page.find("<a href=\"x?a=1&amp;b=&quot;&lt;2&gt;&quot;\">"), std::string::npos);
    EXPECT_EQ(page.find("<2>"), std::string::npos);
}

TEST(LocalPath, AHostWithAPortGetsAFolderNameEverySystemTakes)
{
    EXPECT_EQ(WithHostFolder("localhost:8080/a:b.html"), "localhost+8080/a:b.html");
    EXPECT_EQ(WithHostFolder("\\[::1]:8080\\x"), "\\[++1]+8080\\x");
    EXPECT_EQ(WithHostFolder("\\www.site.test/x"), "\\www.site.test/x");
    EXPECT_EQ(WithHostFolder(""), "");
}

} // namespace
} // namespace tw
