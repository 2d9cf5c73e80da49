// Which links a page yields to the copy: their site form, and what admitting one writes.

#include "common/stringops.h"
#include "crawl/downloadqueue.h"
#include "extractor/admission.h"
#include "extractor/urlnormalize.h"
#include "output/filesystem.h"
#include "output/jobfiles.h"
#include "output/pagesaver.h"
#include "output/placeholders.h"

#include "support/testenvironment.h"

#include <QDir>

#include <gtest/gtest.h>

#include <set>
#include <tuple>

namespace tw {
namespace {

TEST(NormalizeLink, GivesSiteUrlsOrRejects)
{
    const struct
    {
        const char *raw;
        const char *base;
        const char *expected; // "": rejected
        const char *host = "host.com";
    } cases[] = {
        {"page.html", "host.com/dir/", "host.com/dir/page.html"},
        {"../a.html", "host.com/dir/", "host.com/dir/../a.html"},
        {"./a.html", "host.com/dir/", "host.com/dir/./a.html"},
        {"/b.html", "host.com/a/", "host.com/b.html"},
        {"//b.html", "host.com/a/", ""}, // the host "b.html"
        {"//www.host.com/c.html", "host.com/a/", "www.host.com/c.html"},
        {"HTTP://Host.com:8080/d.html", "host.com/a/", ""}, // another port is another site
        {"HTTP://Host.com:80/d.html", "host.com/a/", "Host.com/d.html"},
        {"http://localhost:8000/e.html", "x/", "localhost:8000/e.html", "localhost:8000"},
        {"http://localhost/cgi-bin/x", "x/", "", "localhost:8000"},
        {"/f.html", "localhost:8000/a/", "localhost:8000/f.html", "localhost:8000"},
        {"https://host.com/s.html", "host.com/a/", ""}, // a plain job's links are http
        {"http://docs.host.com/x.html", "host.com/", "docs.host.com/x.html"},
        {"http://WWW.HOST.COM/x.html", "host.com/", "WWW.HOST.COM/x.html"},
        {"http://nothost.com/x.html", "host.com/", ""},
        {"http://host.com.evil.org/x.html", "host.com/", ""},
        {"dir\\b.html", "host.com/", "host.com/dir/b.html"},
        {"sub/", "host.com/", "host.com/sub/index.html"},
        {"", "host.com/dir/", "host.com/dir/index.html"},
        {"http://host.com//x.html", "host.com/", "host.com/x.html"},
        {"http://host.de//x//y.html", "host.de/", "host.de/x/y.html", "host.de"},
        {"http://http://host.com/r.html", "host.com/", "host.com/r.html"},
        {"http://other.org/host.com/x.html", "host.com/", ""}, // a host only where one stands
        {"mailto:me", "other.org/", ""}, {"file:///host.com/x.html", "host.com/", ""},
        {"JAVASCRIPT:void(0)", "host.com/", ""}, {"ircs://host.com/x.html", "host.com/", ""},
        {"img/logo@2x.png", "host.com/", "host.com/img/logo@2x.png"},
        {".", "host.com/dir/", "host.com/dir/./index.html"},
        {"..", "host.com/dir/", "host.com/dir/../index.html"},
        {"y.html", "a//b/", "a//b/y.html", "a"}, // inside the first seven characters
    };
    for (const auto &c : cases)
        EXPECT_EQ(NormalizeLink(c.raw, c.base, c.host).value_or(""), c.expected) << c.raw;
}

TEST(UrlOperations, ResolveTidyCollapseAndMapToPaths)
{
    EXPECT_EQ(ResolveDotDot("host/a/b/../c.html"), "host/a/c.html");
    EXPECT_EQ(ResolveDotDot("host/ab/b/../c.html"), "host/ab/c.html");
    EXPECT_EQ(ResolveDotDot("host/a/../../c.html"), "host/c.html");
    EXPECT_EQ(ResolveDotDot("host/../c.html"), "host/c.html");
    EXPECT_EQ(ResolveDotDot("host\\a\\..\\c"), "host/c");
    EXPECT_EQ(ResolveDotDot("host/./a/././b/../c.html"), "host/a/c.html");
    EXPECT_EQ(ResolveDotDot("host/a/b/.."), "host/a/");
    EXPECT_EQ(ResolveDotDot("host/a/."), "host/a/");
    EXPECT_EQ(ResolveDotDot("host/../../x.html?p=/../y"), "host/x.html?p=/../y");
    EXPECT_EQ(WithoutFolderIndex("/a/index.html"), "/a/");
    EXPECT_EQ(WithoutFolderIndex("h/index.html?x=/index.html"), "h/?x=/index.html");
    EXPECT_EQ(WithoutFolderIndex("/index.htmlx.html"), "/index.htmlx.html");
    EXPECT_EQ(WithoutFolderIndex("/myindex.html"), "/myindex.html");
    const FetchTarget jpeg = FetchTargetOf("cdn.jpeg.test/a.jpeg");
    EXPECT_EQ(jpeg.host, "cdn.jpeg.test");
    EXPECT_EQ(jpeg.path, "/a.jpg");
    EXPECT_EQ(jpeg.requestPath, "/a.jpeg");
    EXPECT_EQ(TidyLink("http:/host/x"), "http://host/x");
    EXPECT_EQ(TidyLink("http://host/x"), "http://host/x");
    EXPECT_EQ(CollapseSlashes("0123456//x///y"), "0123456/x//y");
    EXPECT_EQ(CollapseSlashes("a//b"), "a//b");
    EXPECT_EQ(UrlToRelativePath(" HTTP://www.host/a/b.html "), "host/a/b.html");
    EXPECT_EQ(UrlToRelativePath("www.host.com/www.x"), "host.com/x");
}

class AdmissionTest : public testing::Test
{
protected:
    test::TempDir m_temp;
    SiteJob m_job = [this] {
        SiteJob job = test::MirrorJob(m_temp);
        job.FileTypeFilter = ":.html::.gif::.php?id=1::.html?::.css:";
        return job;
    }();
    JobWrites m_writes;
    DownloadQueue m_queue;
    KnownPaths m_known;

    // Admits raw from a page in host.com/dir/, and checks that it was queued as queued or, when
    // queued is nullptr, rejected without touching the queue.
    void ExpectAdmission(const char *raw, const char *queued)
    {
        const std::size_t before = m_queue.Count();
        const Admission result = AdmitLink(raw, "host.com/dir/", m_job, m_writes, m_known, m_queue);
        EXPECT_EQ(result, queued ? Admission::Queued : Admission::Rejected) << raw;
        if (queued && result == Admission::Queued) {
            EXPECT_EQ(m_queue.At(0), queued);
        } else if (!queued) {
            EXPECT_EQ(m_queue.Count(), before) << raw;
        }
    }
    std::string Read(const std::string &name)
    {
        return test::ReadFileBytes(m_job.outputDir + name);
    }
};

TEST_F(AdmissionTest, QueuesWantedSiteLinksInTheirSiteForm)
{
    const std::pair<const char *, const char *> cases[] = {
        {"page.html", "host.com/dir/page.html"},
        {"sub/", "host.com/dir/sub/index.html"},
        {"./b.html", "host.com/dir/b.html"},
        {"//host.com/c.html", "host.com/c.html"},
        {"http://www.host.com/w.html", "www.host.com/w.html"},
        {"http://host.com/w.html", nullptr}, // the same file as with "www."
        {"p.php?id=1", "host.com/dir/p.php?id=1"},
        {"p.php?id=2", nullptr},
        {"q.html?", "host.com/dir/q.html"},
        {"UP.HTML", "host.com/dir/UP.HTML"},
        {"../up.html", "host.com/up.html"},
        {"http://host.com/../x.html", "host.com/x.html"}, // a climb above the root stops there
        {"../../x.html", nullptr},
        {"..", "host.com/index.html"},
        {"about", "host.com/dir/about"},
        {"about/", "host.com/dir/about/index.html"},
        {"docs/intro?x=1", nullptr}, // a page with a query
        {"view.php?f=page.html", nullptr}, // a page, whatever its query names
        {"s.css?v=3", "host.com/dir/s.css?v=3"},
        {"s.css?v=4", "host.com/dir/s.css?v=4"},
        {"s.css?v=4", nullptr},
        {"a.jpg", nullptr},
        {"http://other.org/x.html", nullptr},
        {"page.html", nullptr},
    };
    for (const auto &[raw, queued] : cases)
        ExpectAdmission(raw, queued);
    EXPECT_EQ(Read("host.com/dir/page.html.tmp"), std::string(kPlaceholderText) + "\r\n");
    EXPECT_TRUE(FileExists(m_job.outputDir + "host.com/dir/p.php_id=1.tmp"));
    EXPECT_EQ(Read("log.txt"),
        "host.com/dir/page.html\r\nhost.com/dir/sub/index.html\r\nhost.com/dir/b.html\r\n"
        "host.com/c.html\r\nwww.host.com/w.html\r\nhost.com/dir/p.php?id=1\r\n"
        "host.com/dir/q.html\r\nhost.com/dir/UP.HTML\r\nhost.com/up.html\r\nhost.com/x.html\r\n"
        "host.com/index.html\r\nhost.com/dir/about\r\nhost.com/dir/about/index.html\r\n"
        "host.com/dir/s.css?v=3\r\nhost.com/dir/s.css?v=4\r\n");
    // Each is known by the name it is stored under.
    EXPECT_TRUE(FileExists(m_job.outputDir + "host.com/dir/about.html.tmp"));
    EXPECT_TRUE(FileExists(m_job.outputDir + "host.com/dir/s.css_v=4.css.tmp"));
    EXPECT_TRUE(FileExists(m_job.outputDir + "host.com/x.html.tmp"));
    // Links with a climb are recorded as written and as resolved.
    EXPECT_EQ(Read("transdd.txt"),
        "host.com/dir/../up.html\r\nhost.com/up.html\r\n\r\nhost.com/../x.html\r\nhost.com/"
        "x.html\r\n"
        "\r\nhost.com/dir/../index.html\r\nhost.com/index.html\r\n\r\n");
}

TEST_F(AdmissionTest, PagesWithAQueryAreFollowedOnRequestUpToALimitPerPath)
{
    ExpectAdmission("list.html?page=1", nullptr);
    m_job.queryPages = true;
    for (int page = 1; page <= 200; ++page) {
        const std::string link = "list.html?page=" + std::to_string(page);
        ExpectAdmission(link.c_str(), ("host.com/dir/" + link).c_str());
    }
    ExpectAdmission("list.html?page=201", nullptr);
    ExpectAdmission("list.html?page=7", nullptr); // known
    ExpectAdmission("other?page=1", "host.com/dir/other?page=1");
    EXPECT_EQ(m_known.PathsAtQueryLimit(), std::set<std::string> {"host.com/dir/list.html"});
    EXPECT_TRUE(FileExists(m_job.outputDir + "host.com/dir/list.html_page=1.html.tmp"));
}

TEST_F(AdmissionTest, SecureLinksBelongToSecureJobsOnly)
{
    const std::tuple<bool, const char *, const char *> cases[] = {
        {false, "https://www.host.com/s.html", nullptr},
        {false, "page-about-https.html", "host.com/dir/page-about-https.html"},
        {true, "HTTPS://www.host.com/s.html", "www.host.com/s.html"},
        {true, "http://www.host.com/t.html", "www.host.com/t.html"},
        {true, "page-about-https2.html", "host.com/dir/page-about-https2.html"},
        {true, "https://other.org/x.html", nullptr},
    };
    for (const auto &[secure, raw, queued] : cases) {
        m_job.secure = secure;
        ExpectAdmission(raw, queued);
    }
}

TEST_F(AdmissionTest, AFileStoredEarlierIsKnown)
{
    ASSERT_TRUE(QDir().mkpath(m_temp.NativePath() + QStringLiteral("/out/host.com/dir")));
    for (const char *name : {"stored.php_id=1.html", "kept.gif"})
        ASSERT_TRUE(FileSystem::WriteFile(m_job.outputDir + "host.com/dir/" + name, "x"));
    ExpectAdmission("stored.php?id=1", nullptr);
    ExpectAdmission("kept.gif", nullptr);
}

TEST_F(AdmissionTest, AFolderNewToTheJobHoldsWhatTheJobWroteThere)
{
    // The start page is stored before any link is admitted; storing it makes the host's folder.
    ASSERT_EQ(SaveDownloadedFile("<p>", "/host.com/index.html", m_job, m_writes).kind,
        SaveOutcome::Kind::Stored);
    ExpectAdmission("a.html", "host.com/dir/a.html");
    ExpectAdmission("../index.html", nullptr);
    const std::string dir = m_job.outputDir + "host.com/dir/";
    // A file put there behind the job's back shows that the disk is not asked.
    ASSERT_TRUE(FileSystem::WriteFile(dir + "b.html", "x"));
    const struct
    {
        std::string path;
        bool exists;
    } rows[] = {
        {m_job.outputDir + "host.com/index.html", true},
        {m_job.outputDir + "host.com/index.html.tmp", false},
        {dir + "a.html.tmp", true},
        {dir + "b.html", false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(FileOfJobExists(row.path, m_job, m_writes), row.exists) << row.path;
    // After a write that failed, the folder may hold anything.
    NoteJobWrite(dir + "c.html", JobWrite::Failed, m_job, m_writes);
    EXPECT_TRUE(FileOfJobExists(dir + "b.html", m_job, m_writes));
}

TEST_F(AdmissionTest, AFailedAppendEndsAdmissionAfterTheQueueEntry)
{
    ASSERT_TRUE(QDir().mkpath(m_temp.NativePath() + QStringLiteral("/out/log.txt")));
    EXPECT_EQ(
        AdmitLink("a.html", "host.com/dir/", m_job, m_writes, m_known, m_queue), Admission::Failed);
    EXPECT_EQ(m_queue.Count(), 1u);
    EXPECT_TRUE(FileExists(m_job.outputDir + "host.com/dir/a.html.tmp"));
}

} // namespace
} // namespace tw
