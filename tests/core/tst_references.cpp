// Where the references of pages and style sheets are found, and how a saved page comes to point
// at the copy.

#include "extractor/linkscanner.h"
#include "extractor/localreferences.h"
#include "extractor/references.h"
#include "extractor/urlnormalize.h"
#include "output/filetypes.h"

#include <gtest/gtest.h>

#include <tuple>

namespace tw {
namespace {

// The references found in text, each as "S:" (scanned) or "A:" (added) and its text.
std::string FoundIn(std::string_view text, DocumentKind kind)
{
    std::string found;
    for (const Reference &reference : FindReferences(text, kind)) {
        found += found.empty() ? "" : " ";
        found += reference.origin == ReferenceOrigin::Scanned ? "S:" : "A:";
        found += text.substr(reference.at, reference.length);
    }
    return found;
}

TEST(References, AreFoundWhereABrowserReadsThem)
{
    const std::tuple<const char *, DocumentKind, const char *> cases[] = {
        {"<a href=\"a.html#top\"><A HREF = 'b.html'><img src=c.gif>", DocumentKind::Page,
            "S:a.html S:b.html S:c.gif"},
        {"<body background=\"bg.gif\"><img\n src='x.gif'>", DocumentKind::Page, "S:bg.gif S:x.gif"},
        // The scanner reads these otherwise than a browser: they are not its references.
        {"<a href=\"a b.html\"><a href=\" c.html\"><img\tsrc=d.gif><a HrEf=e.html><a href=''>",
            DocumentKind::Page, ""},
        {"<img srcset=\"a.png 1x, b.png 2x,c.png\" data-src=d.png data-srcset='e.png 100w'>",
            DocumentKind::Page, "A:a.png A:b.png A:c.png A:d.png A:e.png"},
        {"<source srcset=\"a.png,, b.png 2x (x, y), c.png\"><video POSTER=\"v.jpg\">",
            DocumentKind::Page, "A:a.png A:b.png A:c.png A:v.jpg"},
        {"<div style=\"background:url('bg.png') ; x:URL( b.png )\">", DocumentKind::Page,
            "A:bg.png A:b.png"},
        {"<style>@import \"a.css\"; @import url(b.css); /* url(c.png) */ p{background:url(d.png)}"
         "</style><styles>url(text.png)</styles>",
            DocumentKind::Page, "A:a.css A:b.css A:d.png"},
        // Nothing inside another attribute's value is taken for an attribute.
        {"<img alt=\"x src=y.gif href=z.html\" title='srcset=w.png'>", DocumentKind::Page, ""},
        {"<a href=\"open.html", DocumentKind::Page, ""},
        {"@import 'a.css';\n.x{background:url(\"b.png\")}\n@font-face{src:url(f.woff2) "
         "format('woff2')}\n/* url(no.png) */ .y{background:url(c.png?v=1#i) x:myurl(no.png)}",
            DocumentKind::StyleSheet, "A:a.css A:b.png A:f.woff2 A:c.png?v=1#i"},
        {"<a href=\"a.html\">", DocumentKind::StyleSheet, ""},
        {"url(a.png) href=b.html", DocumentKind::Other, ""},
    };
    for (const auto &[text, kind, found] : cases)
        EXPECT_EQ(FoundIn(text, kind), found) << text;
    // A long value is a reference of the scanner's exactly when the scanner reads all of it.
    for (const std::string quote : {"\"", ""}) {
        for (std::size_t length = 297; length <= 302; ++length) {
            const std::string value(length, 'r');
            std::string page = "<a href=" + quote + value + quote + ">";
            const std::string found = FoundIn(page, DocumentKind::Page);
            std::vector<std::string> scanned;
            ScanLinks(
                page,
                [&](const std::string &link) {
                    scanned.push_back(link);
                    return Admission::Rejected;
                },
                [] {});
            EXPECT_EQ(found, scanned.at(0) == value ? "S:" + value : "") << quote << length;
        }
    }
}

TEST(References, NameALinkOnlyWhenTheCopyCouldFetchIt)
{
    const std::pair<std::string, std::string> cases[] = {
        {"a.png#x", "a.png"},
        {"#x", ""},
        {"data:image/png;base64,AAAA", ""},
        {"javascript:void(0)", ""},
        {"mailto:me@site.com", ""},
        {"ftp://site.com/a.zip", ""},
        {"HTTP://site.com/a.png", "HTTP://site.com/a.png"},
        {"a:b.png", ""},
    };
    for (const auto &[value, link] : cases)
        EXPECT_EQ(LinkOf(value, {0, value.size(), ReferenceOrigin::Added}), link) << value;
}

// Pages of www.site.com saved into \out\, with the wanted types.
std::string Saved(std::string_view body, std::string_view pageUrl, bool secure = false)
{
    SiteJob job;
    job.siteHost = "site.com";
    job.secure = secure;
    job.outputDir = "\\out\\";
    // A query is part of a URL's type.
    job.FileTypeFilter = FileTypeFilterOf(DefaultFileTypes()) + ":.woff2::.css?v=2::.php?id=1:";
    const std::string base(pageUrl.substr(0, pageUrl.rfind('/') + 1));
    const FetchTarget target = FetchTargetOf(pageUrl);
    const StoredLocation page = StoredLocationOf("\\" + target.host + target.path, job);
    const std::vector<TextEdit> edits
        = LocalReferenceEdits(body, page.Kind(), base, page.file, job);
    const bool inRoot = IsInSiteRoot(page.placeholderBase.substr(page.mirrorStart), job.siteHost);
    return RewriteStoredBody(body, page.page, inRoot, edits);
}

TEST(References, PointSavedPagesAtTheCopyInTheJobsScheme)
{
    const struct
    {
        const char *body;
        const char *pageUrl;
        const char *stored;
        bool secure = false;
    } cases[] = {
        // Root-relative from two folders deep, absolute in any case, protocol-relative.
        {"<img src=\"/img/a(1).gif\"><a href='http://www.site.com/a/b/c.html#part'>"
         "<a href=\"HTTP://www.site.com/d.html\"><a href=\"//site.com/x.php?id=1#f\">",
            "www.site.com/a/b/page.html",
            "<img src=\"../../img/a%281%29.gif\"><a href='c.html#part'><a href=\"../../d.html\">"
            "<a href=\"../../x.php_id=1.html#f\">"},
        // Relative links whose stored name differs; those that name their file stay as written.
        {"<a href=\"sub/\"><link href=\"style.css?v=2\"><a href=\"x.php\"><img src=\"p.jpeg\">"
         "<a href=\"a.html\"><a href=\"./a.html\"><a href=\"../up.html#x\"><a href=\"a%20b.html\">"
         "<a href=\"../dir/a.html\">",
            "www.site.com/dir/page.html",
            "<a href=\"sub/index.html\"><link href=\"style.css_v=2\"><a href=\"x.php.html\">"
            "<img src=\"p.jpg\"><a href=\"a.html\"><a href=\"./a.html\"><a href=\"../up.html#x\">"
            "<a href=\"a%20b.html\"><a href=\"../dir/a.html\">"},
        // Not fetched: root- and protocol-relative links become absolute, the rest stays.
        {"<a href=\"/cgi/x.cgi\"><script src=\"//cdn.other.org/x.js\"></script>"
         "<a href=\"http://other.org/site.com/x.html\"><a href=\"mailto:me@site.com\">"
         "<a href=\"https://site.com/s.html\"><a href=\"#top\">",
            "www.site.com/dir/page.html",
            "<a href=\"http://www.site.com/cgi/x.cgi\"><script src=\"http://cdn.other.org/x.js\">"
            "</script><a href=\"http://other.org/site.com/x.html\"><a href=\"mailto:me@site.com\">"
            "<a href=\"https://site.com/s.html\"><a href=\"#top\">"},
        // A sub-domain is stored beside the site's folder; in the root folder, only links as
        // written lose their climb.
        {"<a href=\"http://docs.site.com/x.html\">", "www.site.com/a/page.html",
            "<a href=\"../../docs.site.com/x.html\">"},
        {"<a href=\"http://docs.site.com/x.html\"><a href=\"../x.html\"><a href=\"../x.cgi\">",
            "www.site.com/page.html",
            "<a href=\"../docs.site.com/x.html\"><a href=\"x.html\"><a href=\"x.cgi\">"},
        {"<img srcset=\"/i/a.png 1x, http://site.com/i/b.png 2x\" data-src=\"/i/c.png\">"
         "<div style=\"background:url('/i/d.png')\"><style>p{background:url(/i/e.png)}</style>",
            "www.site.com/a/page.html",
            "<img srcset=\"../i/a.png 1x, ../i/b.png 2x\" data-src=\"../i/c.png\">"
            "<div style=\"background:url('../i/d.png')\"><style>p{background:url(../i/e.png)}"
            "</style>"},
        {"@import \"/css/base.css\";\n@font-face{src:url(/fonts/f.woff2)}\n"
         ".x{background:url(\"../img/bg.png\")}",
            "www.site.com/css/site.css",
            "@import \"base.css\";\n@font-face{src:url(../fonts/f.woff2)}\n"
            ".x{background:url(\"../img/bg.png\")}"},
        // A secure job's own links, and the links it does not fetch.
        {"<a href=\"https://site.com/s.html\"><a href=\"/cgi/x.cgi\">", "www.site.com/page.html",
            "<a href=\"s.html\"><a href=\"https://www.site.com/cgi/x.cgi\">", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Saved(c.body, c.pageUrl, c.secure), c.stored) << c.body;
}

} // namespace
} // namespace tw
