#include "extractor/admission.h"

#include "common/stringops.h"
#include "connections/downloadqueue.h"
#include "output/filesystem.h"
#include "output/placeholders.h"
#include "support/testenvironment.h"

#include <QDir>

#include <gtest/gtest.h>

namespace tw {
namespace {

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
