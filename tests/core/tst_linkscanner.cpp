// Which links of a fetched page, style sheet or SVG image are offered to the queue, in which
// order, and how the scan lets the event loop run and ends on a stop.

#include "extractor/linkscanner.h"

#include "crawl/downloadqueue.h"
#include "support/testenvironment.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

class LinkScannerTest : public testing::Test
{
protected:
    test::TempDir m_dir;
    SiteJob m_job = [this] {
        SiteJob job;
        job.siteHost = "host.com";
        job.outputDir = m_dir.Path();
        job.FileTypeFilter = ":.html::.gif::.png::.css:";
        return job;
    }();
    JobWrites m_writes;
    KnownPaths m_known;
    UntypedParts m_parts;

    // The URLs body queues from host.com/dir/, oldest first.
    std::vector<std::string> Queued(std::string_view body, DocumentKind kind = DocumentKind::Page)
    {
        DownloadQueue queue;
        ExtractLinks(PageReferencesOf(body, kind, "host.com/dir", m_job), queue, m_known, m_parts,
            m_job, m_writes, [] { return true; });
        std::vector<std::string> queued;
        for (std::size_t row = queue.Count(); row > 0; --row)
            queued.push_back(queue.At(row - 1));
        return queued;
    }
};

TEST_F(LinkScannerTest, FollowsWebLinksWhereverABrowserReadsThem)
{
    using Urls = std::vector<std::string>;
    const std::pair<const char *, Urls> cases[] = {
        // Other schemes, in any case, are never joined to the page's folder.
        {"<link rel=canonical href=\"file:///usr/share/doc/index.html\"><a href=\"chrome://x\">"
         "<a href=\"Mailto:a@b\"><a href=\"JAVASCRIPT:void(0)\"><a href=\"ircs://host.com/x.html\">"
         "<img src=\"data:image/png;base64,iVBORw0KGgo=\"><a href=\"tel:+1-555\">",
            {}},
        {"<img srcset=\"img/logo.png 1x, img/logo@2x.png 2x\">",
            {"host.com/dir/img/logo.png", "host.com/dir/img/logo@2x.png"}},
        {"<a HrEf=\"/a.html\"><img\nsrc=b.gif><img\r\n\tSRC = 'c.gif'>"
         "<meta http-equiv=\"refresh\" content=\"0; url=http://www.host.com/r1.html\">"
         "<meta http-equiv=refresh content='5;URL=\"r2.html\"'>",
            {"host.com/a.html", "host.com/dir/b.gif", "host.com/dir/c.gif", "www.host.com/r1.html",
                "host.com/dir/r2.html"}},
        // In document order, each URL once; a comment and a script's text hold no links.
        {"<a href=\"a.html\"><img src=\"../i.gif\"><a href=\"http://other.org/x.html\">"
         "<a href=\"a.html\"><!-- <a href=\"gone.html\"> --><img srcset=\"s.gif 2x, a.html\">"
         "<script src=\"s.gif\">var x = '<a href=\"x.html\">'; src = \"y.gif\";</script>"
         "<p style=\"background:url(/bg.gif)\">",
            {"host.com/dir/a.html", "host.com/i.gif", "host.com/dir/s.gif", "host.com/bg.gif"}},
        {"<a href=\".\"><a href=\"..\"><a href=\"./\"><a href=\"../\"><a href=\"sub/\">",
            {"host.com/dir/index.html", "host.com/index.html", "host.com/dir/sub/index.html"}},
        {"<a href=\"../../../x.html\"><a href=\"c d.gif\">",
            {"host.com/x.html", "host.com/dir/c d.gif"}},
    };
    for (const auto &[body, urls] : cases)
        EXPECT_EQ(Queued(body), urls) << body;
}

TEST_F(LinkScannerTest, ScansStyleSheetsAndSvgImagesOnlyForTheirOwnReferences)
{
    const std::tuple<const char *, DocumentKind, std::vector<std::string>> cases[] = {
        {"@import 'a.css'; .x{background:url(\"b.png\")} <a href=\"no.html\">",
            DocumentKind::StyleSheet, {"host.com/dir/a.css", "host.com/dir/b.png"}},
        {"<svg><image xlink:href=\"p.png\"/><a href=\"a.html\"/></svg>", DocumentKind::Svg,
            {"host.com/dir/p.png", "host.com/dir/a.html"}},
        {"var u = {href: \"x.html\"}; el.src = \"y.gif\"; href=\"z.html\"", DocumentKind::Other,
            {}},
    };
    for (const auto &[body, kind, urls] : cases)
        EXPECT_EQ(Queued(body, kind), urls) << body;
}

TEST_F(LinkScannerTest, YieldsAroundEveryLinkAndEndsWhenTheFetchEnds)
{
    const std::string body = "<a href=\"a.html\"><a href=\"a.html\"><a href=\"b.html\">";
    // Three yields before each link, three after a queued one and two after any other.
    for (const auto &[stopAt, yields, queued] :
        {std::tuple {0, 17, 2u}, {3, 3, 0u}, {4, 4, 1u}, {12, 12, 1u}}) {
        DownloadQueue queue;
        int count = 0;
        ExtractLinks(PageReferencesOf(
                         body, DocumentKind::Page, "host.com/x" + std::to_string(stopAt), m_job),
            queue, m_known, m_parts, m_job, m_writes,
            [&count, stop = stopAt] { return ++count != stop; });
        EXPECT_EQ(count, yields) << stopAt;
        EXPECT_EQ(queue.Count(), queued) << stopAt;
    }
}

} // namespace
} // namespace tw
