// Where the references of pages and style sheets are found, and how a saved page comes to point
// at the copy.

#include "extractor/localreferences.h"
#include "extractor/references.h"
#include "extractor/urlnormalize.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/pagesaver.h"

#include "support/testenvironment.h"

#include <gtest/gtest.h>

#include <tuple>

namespace tw {
namespace {

// The references found in text, separated by spaces.
std::string FoundIn(std::string_view text, DocumentKind kind)
{
    std::string found;
    for (const Reference &reference : FindReferences(text, kind)) {
        found += found.empty() ? "" : " ";
        found += text.substr(reference.at, reference.length);
    }
    return found;
}

TEST(References, AreFoundWhereABrowserReadsThem)
{
    const std::tuple<const char *, DocumentKind, const char *> cases[] = {
        {"<a href=\"a.html#top\"><A HREF = 'b.html'><img src=c.gif><a HrEf=e.html>",
            DocumentKind::Page, "a.html#top b.html c.gif e.html"},
        {"<body background=\"bg.gif\"><img\n src='x.gif'><img\tsrc=d.gif><a href=\" c d.html \">"
         "<a href=''>",
            DocumentKind::Page, "bg.gif x.gif d.gif c d.html"},
        {"<img srcset=\"a.png 1x, b.png 2x,c.png\" data-src=d.png data-srcset='e.png 100w'>"
         "<link rel=preload as=image imagesrcset=\"f.png 1x, g.png 2x\">",
            DocumentKind::Page, "a.png b.png c.png d.png e.png f.png g.png"},
        {"<source srcset=\"a.png,, b.png 2x (x, y), c.png\"><video POSTER=\"v.jpg\">",
            DocumentKind::Page, "a.png b.png c.png v.jpg"},
        {"<div style=\"background:url('bg.png') ; x:URL( b.png )\">", DocumentKind::Page,
            "bg.png b.png"},
        {"<style>@import \"a.css\"; @import url(b.css); /* url(c.png) */ p{background:url(d.png)}"
         "</style><styles>url(text.png)</styles>",
            DocumentKind::Page, "a.css b.css d.png"},
        {"<meta http-equiv=\"Refresh\" content=\"0; URL=r.html\"><meta content=\"3 , url = "
         "'s.html'\">"
         "<meta name=description content=\"1; url=x, the rest\"><meta content=\"url=no.html\">",
            DocumentKind::Page, "r.html s.html x, the rest"},
        // Nothing inside another attribute's value, a comment or a script's text.
        {"<img alt=\"x src=y.gif href=z.html\" title='srcset=w.png'><!-- <a href=c.html> -->"
         "<SCRIPT src=s.js>a.src = \"n.gif\"; var src = 'm.gif';</script><a href=\"p.html\">",
            DocumentKind::Page, "s.js p.html"},
        {"<a href=\"open.html", DocumentKind::Page, ""},
        {"<pre>&lt;img src=&quot;cid:x&quot;&gt; href=a.html</pre><p>a = b src=c.gif</p>",
            DocumentKind::Page, ""},
        {"<svg><use xlink:href=\"#i\"/><image href=\"p.png\"/></svg>", DocumentKind::Svg,
            "#i p.png"},
        {"@import 'a.css';\n.x{background:url(\"b.png\")}\n@font-face{src:url(f.woff2) "
         "format('woff2')}\n/* url(no.png) */ .y{background:url(c.png?v=1#i) x:myurl(no.png)}",
            DocumentKind::StyleSheet, "a.css b.png f.woff2 c.png?v=1#i"},
        {"<a href=\"a.html\">", DocumentKind::StyleSheet, ""},
        {"{\"start_url\": \"/\", \"icons\": [{\"src\" : \"i/a.png\", \"sizes\": \"48x48\"},"
         "{\"src\":\"\\/b.png\"}, {\"src\":\n\"/c.svg\"}]}",
            DocumentKind::Manifest, "i/a.png /c.svg"},
        {"url(a.png) href=b.html", DocumentKind::Other, ""},
    };
    for (const auto &[text, kind, found] : cases)
        EXPECT_EQ(FoundIn(text, kind), found) << text;
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
        {"FILE:///usr/share/doc/x.html#y", ""},
        {"HTTP://site.com/a.png", "HTTP://site.com/a.png"},
        {"a:b.png", ""},
        {"img/logo@2x.png", "img/logo@2x.png"},
        {"dir/a:b.png", "dir/a:b.png"},
        {"?a:b", "?a:b"},
    };
    for (const auto &[value, link] : cases)
        EXPECT_EQ(ReadLink(value, {0, value.size()}).url, link) << value;
}

TEST(References, AreReadAsTheBrowserReadsAnAttributesValue)
{
    // The value, the URL read from it and how much of the value that is.
    const std::tuple<std::string, std::string, std::size_t> cases[] = {
        {"&#109;ailto:a&#64;b.c", "", 21},
        {"&#x6D;&#X61;ilto:a@b.c", "", 22},
        {"a&amp;b.html#x&amp;y", "a&b.html", 12},
        {"a&AMP;b&lt;c&gt;d&quot;e&apos;f&sol;g", "a&b<c>d\"e'f/g", 37},
        {"&uuml;mlaut&eacute;.html", "\xC3\xBCmlaut\xC3\xA9.html", 24},
        {"x.html&#35;top", "x.html", 6},
        {"?a=1&copy=2&amp=3&lt;4&ampx", "?a=1&copy=2&amp=3<4&ampx", 27},
        {"&copy;&copy &notadefinedname; &#0;&#x110000;&#128;&#65",
            "\xC2\xA9\xC2\xA9 &notadefinedname; "
            "\xEF\xBF\xBD\xEF\xBF\xBD\xE2\x82\xAC"
            "A",
            54},
        {"tab\there\n.ht\rml", "tabhere.html", 15},
        {"java\tscript:alert(1)", "", 20},
    };
    for (const auto &[value, url, length] : cases) {
        const LinkRead read = ReadLink(value, {0, value.size(), false, true});
        EXPECT_EQ(read.url, url) << value;
        EXPECT_EQ(read.length, length) << value;
    }
    // Outside an attribute a character reference is text.
    EXPECT_EQ(ReadLink("a&amp;b.css", {0, 11}).url, "a&amp;b.css");
    // A page in a legacy encoding asks for its names in UTF-8.
    const LinkRead legacy
        = ReadLink("\xFC&eacute;\x80.html#x", {0, 17, false, true}, TextEncoding::Windows1252);
    EXPECT_EQ(legacy.url, "\xC3\xBC\xC3\xA9\xE2\x82\xAC.html");
    EXPECT_EQ(legacy.length, 15U);
}

TEST(References, ArePagesInTheEncodingTheyDeclare)
{
    const std::pair<const char *, TextEncoding> cases[] = {
        {"<meta charset=\"ISO-8859-1\">", TextEncoding::Windows1252},
        {"<meta http-equiv=Content-Type content='text/html; charset = windows-1252'>",
            TextEncoding::Windows1252},
        {"<meta charset=utf-8>", TextEncoding::Utf8},
        {"<p>no charset</p>", TextEncoding::Utf8},
        {"<meta charset=shift_jis>", TextEncoding::Utf8},
        {"<META CharSet=LATIN1>", TextEncoding::Windows1252},
        {"<p>charsets</p><meta charset=latin1>", TextEncoding::Utf8},
    };
    for (const auto &[page, encoding] : cases)
        EXPECT_EQ(DeclaredEncoding(page), encoding) << page;
}

// Pages of www.site.com saved into \out\, with the wanted types.
std::string Saved(std::string_view body, std::string_view pageUrl, bool secure = false)
{
    SiteJob job;
    job.siteHost = "site.com";
    job.secure = secure;
    job.outputDir = "/out/";
    // A query is part of a URL's type.
    job.FileTypeFilter = FileTypeFilterOf(DefaultFileTypes()) + ":.woff2::.css?v=2::.php?id=1:";
    const std::string base(pageUrl.substr(0, pageUrl.rfind('/') + 1));
    const FetchTarget target = FetchTargetOf(pageUrl);
    const StoredLocation page = StoredLocationOf("/" + target.host + target.path, job);
    const std::vector<TextEdit> edits = DiskEdits(body, page.Kind(),
        PageReferencesOf(body, page.Kind(), base, job), page.file, job, KnownPaths());
    return RewriteStoredBody(body, page.page, edits);
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
            "<a href=\"sub/index.html\"><link href=\"style.css_v=2.css\"><a href=\"x.php.html\">"
            "<img src=\"p.jpg\"><a href=\"a.html\"><a href=\"./a.html\"><a href=\"../up.html#x\">"
            "<a href=\"a%2520b.html\"><a href=\"../dir/a.html\">"},
        // Links above the root, to folders, and in spellings a browser reads.
        {"<a href=\"../../../x.html\"><a href=\".\"><a href=\"..\"><a href=\"./\"><a href=\"../\">"
         "<a href=\"sub/\"><a HrEf=\"/a.html\"><img\tsrc=\"/i.gif\"><a href=\"c d.gif\">"
         "<meta http-equiv=\"refresh\" content=\"0; url=http://www.site.com/r1.html\">"
         "<img srcset=\"/img/logo@2x.gif 2x\"><a href=\"mailto:a@site.com\">",
            "www.site.com/a/b/page.html",
            "<a href=\"../../x.html\"><a href=\"index.html\"><a href=\"../index.html\">"
            "<a href=\"index.html\"><a href=\"../index.html\"><a href=\"sub/index.html\">"
            "<a HrEf=\"../../a.html\"><img\tsrc=\"../../i.gif\"><a href=\"c d.gif\">"
            "<meta http-equiv=\"refresh\" content=\"0; url=../../r1.html\">"
            "<img srcset=\"../../img/logo@2x.gif 2x\"><a href=\"mailto:a@site.com\">"},
        // Not fetched: root- and protocol-relative links become absolute, the rest stays.
        {"<a href=\"/cgi/x.cgi\"><a href=\"//cdn.other.org/x.js\"></a>"
         "<a href=\"http://other.org/site.com/x.html\"><a href=\"mailto:me@site.com\">"
         "<a href=\"https://site.com/s.html\"><a href=\"#top\">",
            "www.site.com/dir/page.html",
            "<a href=\"http://www.site.com/cgi/x.cgi\"><a href=\"http://cdn.other.org/x.js\">"
            "</a><a href=\"http://other.org/site.com/x.html\"><a href=\"mailto:me@site.com\">"
            "<a href=\"https://site.com/s.html\"><a href=\"#top\">"},
        // A sub-domain is stored beside the site's folder; in the root folder, only links as
        // written lose their climb.
        {"<a href=\"http://docs.site.com/x.html\">", "www.site.com/a/page.html",
            "<a href=\"../../docs.site.com/x.html\">"},
        {"<a href=\"http://docs.site.com/x.html\"><a href=\"../x.html\"><a href=\"../x.cgi\">",
            "www.site.com/page.html",
            "<a href=\"../docs.site.com/x.html\"><a href=\"x.html\">"
            "<a href=\"http://www.site.com/x.cgi\">"},
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
        // Character references and white space a browser drops; a link read so that names its
        // file keeps its bytes.
        {"<a href=\"&#109;ailto:a&#64;b.c\"><a href=\"a&amp;b.html#x\"><a href=\"/&amp;c.html\">"
         "<a href=\"tab\there.html\"><a href=\"&uuml;.html\"><a href=\"/li\nst.html#a\">",
            "www.site.com/dir/page.html",
            "<a href=\"&#109;ailto:a&#64;b.c\"><a href=\"a_b.html#x\"><a href=\"../_c.html\">"
            "<a href=\"tab\there.html\"><a href=\"&uuml;.html\"><a href=\"../list.html#a\">"},
        // A link the copy does not follow leads online; the text around it stays as it is.
        {"<a href=\"forum.php?t=1#p\">forum.php?t=1</a><a href='../x.cgi'>x.php'</a>"
         "<a href=\"HTTP://Other.org/a.php?x\">",
            "www.site.com/dir/page.html",
            "<a href=\"http://www.site.com/dir/forum.php?t=1#p\">forum.php?t=1</a>"
            "<a href='http://www.site.com/x.cgi'>x.php'</a><a href=\"HTTP://Other.org/a.php?x\">"},
        // A <base> sets where relative links lead; the saved page reads them from its folder.
        {"<img src=\"i.gif\"><base href=\"/b/\"><a href=\"x.html\"><a href=\"/y.html\">"
         "<base href=\"/c/\"><a href=\"z.cgi\">",
            "www.site.com/dir/page.html",
            "<img src=\"../b/i.gif\"><base href=\"\"><a href=\"../b/x.html\"><a href=\"../y.html\">"
            "<base href=\"\"><a href=\"http://www.site.com/b/z.cgi\">"},
        // What a browser refuses from disk is asked for as from disk it can be.
        {"<link rel=preload as=font crossorigin href=\"/f.woff2\"><script integrity='sha-1'\n"
         "crossorigin=anonymous src=/a.js></script><a crossorigin href=x.html>crossorigin</a>"
         "<img\tcrossorigin = \"use-credentials\" src=i.gif><img data-crossorigin=1>",
            "www.site.com/page.html",
            "<link rel=preload as=font href=\"f.woff2\"><script src=a.js></script>"
            "<a crossorigin href=x.html>crossorigin</a><img src=i.gif><img data-crossorigin=1>"},
        // What an <object> shows is embedded.
        {"<object data=\"/m/a.gif\"><embed src=\"/m/b.gif\"></object>", "www.site.com/page.html",
            "<object data=\"m/a.gif\"><embed src=\"m/b.gif\"></object>"},
        // A page's parts are fetched whatever their type; a link to a file of that type is not.
        {"<script src=\"/js/a.js\"></script><link rel=\"apple-touch-icon\" href=\"/i.webp\">"
         "<link rel=manifest href=\"/m.webmanifest\"><link rel=\"preload\" href=\"/f.ttf\">"
         "<video poster=\"/p.avif\"><source src=\"//cdn.o.org/v.mp4\"><track src=\"t.vtt\">"
         "</video><embed src=\"/e.swf\"><a href=\"/js/a.js\"><iframe src=\"/f.svg\">",
            "www.site.com/page.html",
            "<script src=\"js/a.js\"></script><link rel=\"apple-touch-icon\" href=\"i.webp\">"
            "<link rel=manifest href=\"m.webmanifest\"><link rel=\"preload\" href=\"f.ttf\">"
            "<video poster=\"p.avif\"><source src=\"../cdn.o.org/v.mp4\"><track src=\"t.vtt\">"
            "</video><embed src=\"e.swf\"><a href=\"http://www.site.com/js/a.js\">"
            "<iframe src=\"http://www.site.com/f.svg\">"},
        // What a plain site's page embeds from a secure host is fetched over TLS and stored
        // with that host's files.
        {"<link rel=stylesheet href=\"https://fonts.other.org/f.css\"><a href=\"https://o.org/\">"
         "<script src=\"https://cdn.other.org:8443/x.js\"></script>",
            "www.site.com/page.html",
            "<link rel=stylesheet href=\"../fonts.other.org/f.css\"><a href=\"https://o.org/\">"
            "<script src=\"https://cdn.other.org:8443/x.js\"></script>"},
        // A secure job's own links, and the links it does not fetch.
        {"<a href=\"https://site.com/s.html\"><a href=\"/cgi/x.cgi\">", "www.site.com/page.html",
            "<a href=\"s.html\"><a href=\"https://www.site.com/cgi/x.cgi\">", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Saved(c.body, c.pageUrl, c.secure), c.stored) << c.body;
}

TEST(References, ALinkToAFileThatNeverCameIsPointedOnlineWhenTheCopyEnds)
{
    test::TempDir dir;
    SiteJob job;
    job.siteHost = "site.com";
    job.outputDir = dir.Path();
    job.FileTypeFilter = FileTypeFilterOf(DefaultFileTypes());
    const std::string body = "<a href=\"gone.html\">g</a><a href=\"here.html\">h</a>";
    const std::vector<PageReference> references
        = PageReferencesOf(body, DocumentKind::Page, "www.site.com/", job);
    const StoredLocation page = StoredLocationOf("/www.site.com/index.html", job);
    KnownPaths known;
    ASSERT_TRUE(FileSystem::MakeDir(dir.Path() + "site.com"));
    ASSERT_TRUE(FileSystem::WriteFile(page.file,
        RewriteStoredBody(body, page.page,
            DiskEdits(body, DocumentKind::Page, references, page.file, job, known))));
    ASSERT_TRUE(FileSystem::WriteFile(dir.Path() + "site.com/here.html", "h"));
    // The link's target failed while the page was being saved, its link already local.
    known.Settle(references.front().target->localPath, "");

    SavedLinks links;
    ASSERT_TRUE(
        links.Note("www.site.com/index.html", page.file, DocumentKind::Page, references, known));
    links.PointAtArrivals(job, known);
    EXPECT_EQ(FileSystem::ReadFile(page.file),
        "<a href=\"http://www.site.com/gone.html\">g</a><a href=\"here.html\">h</a>");
}

} // namespace
} // namespace tw
