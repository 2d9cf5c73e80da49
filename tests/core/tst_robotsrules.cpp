// What a robots.txt lets the copier fetch, and how long it asks it to wait.

#include "extractor/robotsrules.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tw {
namespace {

const std::string kAny = "User-agent: *\n";

// head, then tail as the last line, cut by the read limit after its first nine bytes.
std::string CutByReadLimit(const std::string &head, const std::string &tail)
{
    const std::size_t padding = kRobotsReadLimit - 9 - head.size() - 1;
    return head + std::string(padding, '#') + '\n' + tail;
}

TEST(RobotsRules, AllowsWhatTheGroupForTheAgentAllows)
{
    const std::string merged = "User-agent: Tidewell\nDisallow: /a\n\nUser-agent: other\n"
                               "Disallow: /b\n\nUser-agent: tidewell\nDisallow: /c\n";
    const struct
    {
        std::string robots;
        std::string path;
        bool allowed;
        const char *agent = "Tidewell";
    } cases[] = {
        {"", "/x", true},
        {kAny + "Disallow: /private", "/private/a.html", false},
        {kAny + "Disallow: /private", "/privateer", false}, // a prefix, not a folder
        {kAny + "Disallow: /private", "/public.html", true},
        {kAny + "Disallow: /a\nAllow: /a/b", "/a/b/c", true},
        {kAny + "Disallow: /a\nAllow: /a/b", "/a/x", false},
        // The longest match wins, whatever the order; Allow wins a tie.
        {kAny + "Allow: /a\nDisallow: /a/b", "/a/b", false},
        {kAny + "Disallow: /a/b\nAllow: /a", "/a/b", false},
        {kAny + "Disallow: /a\nAllow: /a", "/a", true},
        {kAny + "Allow: /a\nDisallow: /a", "/a", true},
        {kAny + "Allow: /*.html\nDisallow: /dir/", "/dir/page.html", true}, // 7 octets against 5
        // Wildcards.
        {kAny + "Disallow: /*.gif$", "/img/a.gif", false},
        {kAny + "Disallow: /*.gif$", "/img/a.gif?v=1", true},
        {kAny + "Disallow: /*.gif$", "/a.gifs", true},
        {kAny + "Disallow: /$", "/", false},
        {kAny + "Disallow: /$", "", false},
        {kAny + "Disallow: /$", "/index.html", true},
        {kAny + "Disallow: /a$b", "/a$b", false}, // "$" anchors only at the end
        {kAny + "Disallow: /a$b", "/a", true},
        {kAny + "Disallow: /a*b", "/axxb/c", false},
        {kAny + "Disallow: /a*b", "/ab", false},
        {kAny + "Disallow: /a*b", "/a/c", true},
        {kAny + "Disallow: /*/private/", "/x/y/private/z", false},
        {kAny + "Disallow: /*?", "/list?page=2", false},
        {kAny + "Disallow: /*?", "/list", true},
        {kAny + "Disallow: /*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b",
            "/" + std::string(300, 'a'), true}, // in time
        // An empty Disallow forbids nothing.
        {kAny + "Disallow:", "/x", true},
        {kAny + "Disallow:\nDisallow: /x", "/x", false},
        // Groups.
        {kAny + "Disallow: /\n\nUser-agent: Tidewell\nDisallow: /tmp", "/page", true},
        {kAny + "Disallow: /\n\nUser-agent: Tidewell\nDisallow: /tmp", "/tmp/a", false},
        {"User-agent: Tidewell\nDisallow:\n\n" + kAny + "Disallow: /", "/page", true},
        {"User-agent: otherbot\nDisallow: /", "/page", true},
        {merged, "/a", false},
        {merged, "/b", true},
        {merged, "/c", false},
        {"User-agent: Tidewell\nUser-agent: other\nDisallow: /x", "/x", false},
        {"User-agent: Tidewell\nDisallow: /x\nUser-agent: other\nDisallow: /y", "/y", true},
        {"Disallow: /x\n" + kAny + "Disallow: /y", "/x", true}, // before any group
        {"User-agent: Tidewell\nSitemap: http://h/map.xml\nDisallow: /x", "/x", false},
        // Agent names and field names in any case.
        {"User-agent: TIDEWELL\nDisallow: /x", "/x", false},
        {"User-agent: tidewell/2.0 (+http://h)\nDisallow: /x", "/x", false},
        {"User-agent: Tidewell\nDisallow: /x", "/x", false, "tideWELL/1.4"},
        {"User-agent: Tidewell-Beta\nDisallow: /x", "/x", true},
        {"USER-AGENT: *\nDISALLOW: /x", "/x", false},
        // Line ends, comments, whitespace, a byte order mark.
        {"# rules\r\nUser-agent: * # everyone\r\nDisallow: /x # not x\r\n", "/x", false},
        {"# rules\r\nUser-agent: * # everyone\r\nDisallow: /x # not x\r\n", "/y", true},
        {"User-agent: *\rDisallow: /x\r", "/x", false},
        {"User-Agent :\t*\nDisAllow :\t/x\t", "/x", false},
        {"\xEF\xBB\xBFUser-agent: *\nDisallow: /x", "/x", false},
        // Percent-escapes.
        {kAny + "Disallow: /%62%61%7A", "/baz", false},
        {kAny + "Disallow: /baz", "/%62a%7a", false},
        {kAny + "Disallow: /a%3cb", "/a%3Cb", false},
        {kAny + "Disallow: /\xE3\x83\x84", "/%E3%83%84", false},
        {kAny + "Disallow: /%e3%83%84", "/\xE3\x83\x84", false},
        {kAny + "Disallow: /a%2Fb", "/a/b", true}, // a reserved character keeps its form
        {kAny + "Disallow: /a%2Fb", "/a%2fb", false},
        {kAny + "Disallow: /%2A", "/x", true}, // no wildcard
        {kAny + "Disallow: /100%", "/100%25", false},
        // robots.txt itself.
        {kAny + "Disallow: /", "/robots.txt", true},
        {kAny + "Disallow: /robots.txt", "/robots.txt", true},
        {kAny + "Disallow: /", "/", false},
        // The read limit.
        {std::string(kRobotsReadLimit, '#') + '\n' + kAny + "Disallow: /", "/x", true},
        {CutByReadLimit(kAny + "Disallow: /\n", "Allow: /public\n"), "/public", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(RobotsRules::Parse(c.robots, c.agent).Allows(c.path), c.allowed)
            << c.robots.substr(0, 80) << " | " << c.agent << " | " << c.path;
}

TEST(RobotsRules, CrawlDelayIsTheChosenGroups)
{
    const struct
    {
        std::string robots;
        std::optional<double> seconds;
    } cases[] = {
        {kAny + "Crawl-delay: 2.5", 2.5},
        {kAny + "Crawl-delay: 10\n\nUser-agent: Tidewell\nCrawl-delay: 1", 1.0},
        {"User-agent: other\nCrawl-delay: 5\nUser-agent: Tidewell\nDisallow: /", std::nullopt},
        {kAny + "Disallow: /", std::nullopt},
        {kAny + "Crawl-delay: soon", std::nullopt},
        {kAny + "Crawl-delay: -1", std::nullopt},
        {kAny + "Crawl-delay: soon\nCrawl-delay: 4\nCrawl-delay: 7", 4.0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(RobotsRules::Parse(c.robots, "Tidewell").CrawlDelay(), c.seconds) << c.robots;
}

TEST(RobotsRules, UnreadableDisallowsAllButRobotsTxt)
{
    const RobotsRules none = RobotsRules::DisallowAll();
    EXPECT_FALSE(none.Allows("/"));
    EXPECT_FALSE(none.Allows("/a/b.html?x=1"));
    EXPECT_TRUE(none.Allows("/robots.txt"));
    EXPECT_FALSE(none.CrawlDelay());
    EXPECT_TRUE(RobotsRules().Allows("/a/b.html?x=1"));
}

} // namespace
} // namespace tw
