#include "output/pagesaver.h"

#include "common/stringops.h"
#include "output/filesystem.h"
#include "support/testenvironment.h"

#include <QDir>

#include <gtest/gtest.h>

#include <tuple>

namespace tw {
namespace {

class PageSaverTest : public testing::Test
{
protected:
    test::TempDir m_temp;
    SiteJob m_job = test::MirrorJob(m_temp);
    JobWrites m_writes;

    std::string Read(const std::string &name)
    {
        return test::ReadFileBytes(m_job.outputDir + name);
    }
};

TEST_F(PageSaverTest, StoresEachKindOfFileUnderItsLocalName)
{
    static constexpr char kGif[] = "GIF89a\0\r\n\n.php'href=\"../x\"\xff";
    const std::string binary(kGif, sizeof kGif - 1);
    // The path below the download folder, the response, the file stored and its bytes.
    const std::tuple<const char *, std::string, const char *, std::string> cases[] = {
        {"/host.com/t.html", "Timed out", "host.com/t.html", "Timed out\r\n"},
        {"/www.host.com/dir/", "body", "host.com/dir/index.html", "body\r\n"},
        {"/localhost/dir/", "x", "localhost/dir/index.html", "x\r\n"},
        {"/host.com/page.php?id=3", "<a href=\"q.php?x=1\">", "host.com/page.php_id=3.html",
            "<a href=\"q.php?x=1\">\r\n"},
        {"/host.com/p.asp", "<a href='r.asp'>", "host.com/p.asp.html", "<a href='r.asp'>\r\n"},
        {"/host.com/PAGE.PHP?id=3", "a\r\nb.php'", "host.com/PAGE.PHP_id=3", "a\r\nb.php'"},
        {"/host.com/img/a.gif", binary, "host.com/img/a.gif", binary},
        {"/host.com/s.css", "url(x.php\")\nhref='../a'", "host.com/s.css",
            "url(x.php\")\nhref='../a'\r\n"},
        {"/host.com/index.html", "<a href=\"../a\"><a href='../b'><a HREF=\"../d\">\r\nx\ny\rz",
            "host.com/index.html",
            "<a href=\"../a\"><a href='../b'><a HREF=\"../d\">\r\nx\r\ny\r\nz\r\n"},
        {"/host.com/sub/p.html", "<a href=\"../a\">", "host.com/sub/p.html",
            "<a href=\"../a\">\r\n"},
        {"/host.com/notes.txt.d/x.bin", "a\n", "host.com/notes.txt.d/x.bin", "a\n"},
        {"/host.com/notes.txt", "a\r\n", "host.com/notes.txt", "a\r\n"},
    };
    for (const auto &[relative, response, stored, bytes] : cases) {
        EXPECT_EQ(SaveDownloadedFile(response, relative, m_job, m_writes).kind,
            SaveOutcome::Kind::Stored);
        EXPECT_EQ(Read(stored), bytes) << relative;
    }
}

TEST_F(PageSaverTest, DeletesThePlaceholderAndSaysWhatBecameOfTheSave)
{
    ASSERT_TRUE(QDir().mkpath(m_temp.NativePath() + QStringLiteral("/out/host.com")));
    ASSERT_TRUE(FileSystem::WriteFile(m_job.outputDir + "host.com/p.php_id=3.tmp", "q\r\n"));
    SaveDownloadedFile("one", "/host.com/p.php?id=3", m_job, m_writes);
    SaveDownloadedFile("two", "/host.com/p.php?id=3", m_job, m_writes);
    EXPECT_FALSE(FileExists(m_job.outputDir + "host.com/p.php_id=3.tmp"));
    EXPECT_EQ(Read("host.com/p.php_id=3.html"), "two\r\n");

    ASSERT_TRUE(QDir().mkpath(m_temp.NativePath() + QStringLiteral("/out/host.com/taken.html")));
    const SaveOutcome failed = SaveDownloadedFile("x", "/host.com/taken.html", m_job, m_writes);
    EXPECT_EQ(failed.kind, SaveOutcome::Kind::Failed);
    EXPECT_EQ(failed.reason, "Is a directory");
}

TEST_F(PageSaverTest, TheDownloadFolderNameDoesNotDecideWhatAFileIs)
{
    // A folder whose name looks like a page or a ".html" name must not turn images into pages or
    // keep ".php" pages from their ".html" name.
    m_job.outputDir = m_temp.Path() + "notes.txt/host.com/";
    const std::string gif("GIF89a\r\n\n", 9);
    SaveDownloadedFile(gif, "/host.com/logo.gif", m_job, m_writes);
    EXPECT_EQ(Read("host.com/logo.gif"), gif);

    m_job.outputDir = m_temp.Path() + "site.html/";
    SaveDownloadedFile("x", "/host.com/list.php", m_job, m_writes);
    EXPECT_EQ(Read("host.com/list.php.html"), "x\r\n");
}

TEST(RewriteStoredBody, MakesEveryLineBreakOfAPageOneCrLfAndAppliesTheEdits)
{
    const std::tuple<const char *, bool, std::vector<TextEdit>, const char *> cases[] = {
        {"a\rb\nc\r\nd\n\re", true, {}, "a\r\nb\r\nc\r\nd\r\n\r\ne"},
        {"a\rb\nc", false, {}, "a\rb\nc"},
        {"<a href=\"x.php?t=1\">x.php?t=1 href='../y'</a>", true, {},
            "<a href=\"x.php?t=1\">x.php?t=1 href='../y'</a>"},
        {"<a href=\"x\">\n<img src=y>", true, {{9, 1, "z.html"}, {22, 1, "w\n.gif"}},
            "<a href=\"z.html\">\r\n<img src=w\n.gif>"},
    };
    for (const auto &[body, page, edits, stored] : cases)
        EXPECT_EQ(RewriteStoredBody(body, page, edits), stored) << body;
}

} // namespace
} // namespace tw
