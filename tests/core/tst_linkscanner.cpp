#include "extractor/linkscanner.h"

#include "common/stringops.h"
#include "connections/downloadqueue.h"
#include "core/plainlinkscanner.h"
#include "support/testenvironment.h"

#include <gtest/gtest.h>

#include <random>

namespace tw {
namespace {

using test::kLinkSpellings;
using test::PlainRewriteForScan;
using test::PlainScanLinks;

struct ScanRecord
{
    std::vector<std::string> links;
    int yields = 0;
    std::string rest;
};

// Scans text with a sink that answers verdict(link) and a yield hook that empties the text at
// yield number stopAt (never when 0).
template <typename Scanner>
ScanRecord Scan(Scanner scanner, std::string text,
    const std::function<Admission(const std::string &)> &verdict, int stopAt = 0)
{
    ScanRecord record;
    scanner(
        text,
        [&](const std::string &link) {
            record.links.push_back(link);
            return verdict(link);
        },
        [&] {
            if (++record.yields == stopAt)
                text.clear();
        });
    record.rest = text;
    return record;
}

std::vector<std::string> LinksOf(const std::string &page)
{
    return Scan(ScanLinks, page, [](const std::string &) { return Admission::Rejected; }).links;
}

TEST(LinkScanner, EveryKnownSpellingYieldsItsValue)
{
    for (const char *spelling : kLinkSpellings)
        EXPECT_EQ(LinksOf(std::string("<x") + spelling + "\"v.html\">"),
            std::vector<std::string> {"v.html"})
            << spelling;
}

TEST(LinkScanner, CutsFiltersAndSkipsValues)
{
    const std::string longValue(400, 'a');
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"<img\tsrc=a.gif><img\nsrc=b.gif><a HREF  =c.html><a hreF=d.html>", {}},
        {"<a href=a.html>x</a> <a href=b c> href=d}eee href=f;g", {"a.html", "b", "d", "f"}},
        {"<a href='#top'> <a href=\"p.html#top\">", {"p.html"}},
        {"href='mailto:a@b.c' href=https://h/x href=ftp://h href=irc://h href=HTTPS://h/x",
            {"https://h/x", "HTTPS://h/x"}},
        {"href=" + longValue, {std::string(300, 'a')}},
        {"href=\"" + longValue + "\"", {std::string(299, 'a')}},
        {"<a href=''>", {""}},
        {"the last word is href", {""}},
        {"<meta content=\"0; URL=http://host.com/x.html\">", {"http://http://host.com/x.html"}},
        {"href=ab href=c.html href=abcde href=f.html", {"ab", "abcde", "f.html"}},
        {"no links, just text", {}},
        {std::string("GIF89a\0\xff", 8) + " src=\x01\x02.gif", {"\x01\x02.gif"}},
    };
    for (const auto &[page, links] : cases)
        EXPECT_EQ(LinksOf(page), links) << page;
}

// Pages from fragments that sit on the scanner's edges: spellings, quotes, line breaks, refresh
// targets, delimiters and values close to the next "href".
std::string RandomPage(std::mt19937 &random)
{
    static const char *fragments[] = {
        // clang-format off
        "href", "HREF = ", "href =", "Href= ", " src=", " SRC = ", "background=", "BackGround =",
        "=", "'", "\"", "#", " ", "\r\n", "\n", "\r", "; url=", ";URL=", ";", "url=", ">", "}",
        "@", "https", "a.html", "../", "x", "ftp:", "hre", "f=", "c=", "d =", "\t",
        // clang-format on
    };
    std::uniform_int_distribution<std::size_t> pick(0, std::size(fragments) - 1);
    std::uniform_int_distribution<int> length(0, 60);
    std::string page;
    for (int n = length(random); n > 0; --n)
        page += fragments[pick(random)];
    if (random() % 8 == 0)
        page += std::string(350, 'v');
    return page;
}

TEST(LinkScanner, FastScanEqualsThePlainScan)
{
    std::mt19937 random(20240607);
    // Verdicts depend on the link only, so both scanners see the same answers.
    const auto verdict = [](const std::string &link) {
        const std::size_t h = std::hash<std::string> {}(link) % 7;
        return h == 0 ? Admission::Failed : h < 4 ? Admission::Queued : Admission::Rejected;
    };
    const std::vector<std::string> odd = {"", "href", "href=", "hrefhrefhref",
        "==", std::string(20, '=') + "HREF = ", " src =  src = x"};
    for (int round = 0; round < 4000; ++round) {
        const std::string page
            = round < static_cast<int>(odd.size()) ? odd[round] : RandomPage(random);
        const int stopAt = round % 3 == 0 ? static_cast<int>(random() % 40) : 0;
        const ScanRecord fast = Scan(ScanLinks, page, verdict, stopAt);
        const ScanRecord plain = Scan(PlainScanLinks, page, verdict, stopAt);
        ASSERT_EQ(fast.links, plain.links) << page;
        ASSERT_EQ(fast.yields, plain.yields) << page;
        ASSERT_EQ(fast.rest, plain.rest) << page;

        std::string rewritten = page;
        std::string plainRewritten = page;
        RewriteForScan(rewritten);
        PlainRewriteForScan(plainRewritten);
        ASSERT_EQ(rewritten, plainRewritten) << page;
    }
}

TEST(LinkScanner, ExtractLinksQueuesSiteLinksAgainstTheBase)
{
    test::TempDir dir;
    SiteJob job;
    job.siteHost = "host.com";
    job.outputDir = dir.Path();
    job.FileTypeFilter = ":.html::.gif:";
    DownloadQueue queue;
    std::string page = "HTTP/1.0 200 OK\r\n\r\n<a href=\"a.html\"><img src=\"../i.gif\">"
                       "<a href=\"http://other.org/x.html\"><a href=\"a.html\">"
                       "<img srcset=\"s.gif 2x, a.html\"><p style=\"background:url(/bg.gif)\">";
    ExtractLinks(page, DocumentKind::Page, queue, "host.com/dir", job, [] {});
    // Row 0 is the newest; the sources the scan does not see were queued first.
    std::vector<std::string> queued;
    for (std::size_t row = 0; row < queue.Count(); ++row)
        queued.push_back(queue.At(row));
    EXPECT_EQ(queued,
        (std::vector<std::string> {
            "host.com/i.gif", "host.com/bg.gif", "host.com/dir/a.html", "host.com/dir/s.gif"}));
}

} // namespace
} // namespace tw
