// Which links a page yields to the copy: their site form, and what admitting one writes.

#include "common/stringops.h"
#include "connections/downloadqueue.h"
#include "extractor/admission.h"
#include "extractor/urlnormalize.h"
#include "output/filesystem.h"
#include "output/placeholders.h"

#include "support/testenvironment.h"

#include <QDir>

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

class AdmissionTest : public testing::Test
{
protected:
    test::TempDir m_temp;
    SiteJob m_job = [this] {
        SiteJob job = test::MirrorJob(m_temp);
        job.FileTypeFilter = ":.html::.gif::.php?id=1::.html?:";
        return job;
    }();
    DownloadQueue m_queue;

    Admission Admit(const std::string &raw, const std::string &base = "host.com/dir/")
    {
        return AdmitLink(raw, base, m_job, m_queue);
    }
    std::string Read(const std::string &name)
    {
        return test::ReadFileBytes(m_job.outputDir + name);
    }
};

TEST_F(AdmissionTest, QueuesWantedSiteLinksInTheirSiteForm)
{
    const struct
    {
        const char *raw;
        const char *queued; // nullptr: rejected
    } cases[] = {
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
        {"about", nullptr},
        {"a.jpg", nullptr},
        {"http://other.org/x.html", nullptr},
        {"page.html", nullptr},
    };
    for (const auto &c : cases) {
        const std::size_t before = m_queue.Count();
        const Admission result = Admit(c.raw);
        EXPECT_EQ(result, c.queued ? Admission::Queued : Admission::Rejected) << c.raw;
        if (c.queued && result == Admission::Queued) {
            EXPECT_EQ(m_queue.At(0), c.queued);
        } else if (!c.queued) {
            EXPECT_EQ(m_queue.Count(), before) << c.raw;
        }
    }
    EXPECT_EQ(Read("host.com\\dir\\page.html.tmp"), std::string(kPlaceholderText) + "\r\n");
    EXPECT_TRUE(FileExists(m_job.outputDir + "host.com\\dir\\p.php_id=1.tmp"));
    EXPECT_EQ(Read("log.txt"),
        "host.com/dir/page.html\r\nhost.com/dir/sub/index.html\r\nhost.com/dir/b.html\r\n"
        "host.com/c.html\r\nwww.host.com/w.html\r\nhost.com/dir/p.php?id=1\r\n"
        "host.com/dir/q.html\r\nhost.com/dir/UP.HTML\r\n");
    EXPECT_FALSE(FileExists(m_job.outputDir + "transdd.txt"));
}

TEST_F(AdmissionTest, SecureLinksBelongToSecureJobsOnly)
{
    const struct
    {
        bool secure;
        const char *raw;
        const char *queued; // nullptr: rejected
    } cases[] = {
        {false, "https://www.host.com/s.html", nullptr},
        {false, "page-about-https.html", nullptr},
        {true, "HTTPS://www.host.com/s.html", "www.host.com/s.html"},
        {true, "http://www.host.com/t.html", "www.host.com/t.html"},
        {true, "page-about-https.html", "host.com/dir/page-about-https.html"},
        {true, "https://other.org/x.html", nullptr},
    };
    for (const auto &c : cases) {
        m_job.secure = c.secure;
        const Admission result = Admit(c.raw);
        EXPECT_EQ(result, c.queued ? Admission::Queued : Admission::Rejected) << c.raw;
        if (c.queued && result == Admission::Queued) {
            EXPECT_EQ(m_queue.At(0), c.queued);
        }
    }
}

TEST_F(AdmissionTest, ParentLinksAreRecordedAndClimbsAboveTheHostRejected)
{
    EXPECT_EQ(Admit("../up.html"), Admission::Queued);
    EXPECT_EQ(m_queue.At(0), "host.com/up.html");
    EXPECT_EQ(Read("transdd.txt"), "host.com/dir/../up.html\r\nhost.com/up.html\r\n\r\n");
    EXPECT_EQ(Admit("http://host.com/../x.html"), Admission::Rejected);
    EXPECT_EQ(Read("transdd.txt"), "host.com/dir/../up.html\r\nhost.com/up.html\r\n\r\n");
}

TEST_F(AdmissionTest, AFileStoredEarlierIsKnown)
{
    ASSERT_TRUE(QDir().mkpath(m_temp.NativePath() + "/out/host.com/dir"));
    for (const char *name : {"stored.php_id=1.html", "kept.gif"})
        ASSERT_TRUE(FileSystem::WriteFile(m_job.outputDir + "host.com\\dir\\" + name, "x"));
    EXPECT_EQ(Admit("stored.php?id=1"), Admission::Rejected);
    EXPECT_EQ(Admit("kept.gif"), Admission::Rejected);
    EXPECT_TRUE(m_queue.IsEmpty());
}

TEST_F(AdmissionTest, AFailedAppendEndsAdmissionAfterTheQueueEntry)
{
    ASSERT_TRUE(QDir().mkpath(m_temp.NativePath() + "/out/log.txt"));
    EXPECT_EQ(Admit("a.html"), Admission::Failed);
    EXPECT_EQ(m_queue.Count(), 1u);
    EXPECT_TRUE(FileExists(m_job.outputDir + "host.com\\dir\\a.html.tmp"));
}

} // namespace
} // namespace tw
