// The report of a copy: what it says stays text, whatever the URLs and references hold.

#include "report/copyreport.h"

#include <gtest/gtest.h>

#include <functional>

namespace tw {
namespace {

TEST(CopyReport, ShowsWhatItIsGivenAsTextOnly)
{
    const struct
    {
        const char *what;
        std::function<void(CopySummary &)> fill;
        std::vector<std::string> shown;
    } rows[] = {
        {"failed URLs",
            [](CopySummary &s) {
                s.failed = {{"http://x.test/<script>alert(1)</script>", "404 \"Not\" Found", 3},
                    {"http://x.test/a'b.html", "timed out", 1}};
            },
            {"http://x.test/&lt;script&gt;alert(1)&lt;/script&gt;", "404 &quot;Not&quot; Found",
                "http://x.test/a&#39;b.html", "timed out"}},
        {"references that do not resolve, in a file whose name breaks an attribute",
            [](CopySummary &s) {
                s.check.unresolved = {{"x\"><script>.html", "\"><img src=x onerror=alert(1)>\x1b",
                    UnresolvedCause::Missing}};
            },
            {"Missing file", "&quot;&gt;&lt;img src=x onerror=alert(1)&gt;\\x1B",
                "\"file:///copies/%3Csite%3E/"
                "x%22%3E%3Cscript%3E.html\">x&quot;&gt;&lt;script&gt;.html</a>"}},
        {"references to other sites", [](CopySummary &s) { s.check.otherSites = 526; },
            {"<b>526</b>", "lead to other sites"}},
        {"files that came compressed",
            [](CopySummary &s) { s.compressed = {.received = 1'000'000, .stored = 5'000'000}; },
            {"<b>3.8 MB</b>", "saved by compression"}},
        {"pages drawn, one of which failed",
            [](CopySummary &s) {
                s.drawn = {{"http://x.test/", ""}, {"http://x.test/<script>", "did not settle"}};
            },
            {"1 stored as a browser drew them", "http://x.test/&lt;script&gt;", "did not settle"}},
        {"a list longer than a page shows",
            [](CopySummary &s) {
                s.skipped.assign(
                    kMaxReportRows + 3, {"http://x.test/<marquee>", SkipCause::OtherHost});
            },
            {"On another host", "and 3 more"}},
    };
    for (const auto &row : rows) {
        CopySummary summary;
        summary.folder = "/copies/<site>/";
        summary.fetchesRecorded = true;
        row.fill(summary);
        const std::string html = CopyReportHtml(summary);
        for (const std::string &text : row.shown)
            EXPECT_NE(html.find(text), std::string::npos) << row.what << ": " << text;
        for (const char *markup : {"<script", "<img", "<marquee", "<site>", "\x1b"})
            EXPECT_EQ(html.find(markup), std::string::npos) << row.what << ": " << markup;
        EXPECT_NE(html.find(kReportMark), std::string::npos);
    }
}

} // namespace
} // namespace tw
