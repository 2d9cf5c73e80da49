#include "output/filesystem.h"
#include "output/localpath.h"

#include "support/testenvironment.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(SanitizePath, ReplacementsRunInTheirOrder)
{
    const std::pair<std::string, std::string> cases[] = {
        {"page.php?id=1&x=<2>", "page.php_id=1_x=_2_"},
        {"a{b}c|d*", "abcd"},
        {"a!b", "a_b"},
        {std::string(8, '_'), "_"},
        {std::string(9, '_'), "__"},
        {"?&", "_"}, // two replacements in a row collapse to one underscore
        {"C:\\web sites\\%20.\"q\"", "C:\\web sites\\%20.\"q\""},
        {"", ""},
    };
    for (const auto &[input, expected] : cases)
        EXPECT_EQ(SanitizePath(input), expected) << input;
}

TEST(SanitizePath, SavePathGetsHtmlOnlyWithoutAnyDot)
{
    EXPECT_EQ(SanitizeSavePath("\\localhost/dir/page"), "\\localhost/dir/page.html");
    EXPECT_EQ(SanitizeSavePath("\\host.com/dir/page"), "\\host.com/dir/page");
    EXPECT_EQ(SanitizeSavePath("\\localhost/dir/"), "\\localhost/dir/.html");
}

TEST(NormalizeLocalPath, RemovesWwwSchemeAndDoubledSeparators)
{
    EXPECT_EQ(NormalizeLocalPath("C:\\sites\\\\www.host.com/dir/page.html"),
        "C:\\sites\\host.com\\dir\\page.html");
    EXPECT_EQ(NormalizeLocalPath("  http://www.host.com/a  "), "host.com\\a");
    EXPECT_EQ(NormalizeLocalPath("C:\\www.mirror\\x"), "C:\\mirror\\x");
    EXPECT_EQ(NormalizeLocalPath("a\\\\\\b"), "a\\\\b");
}

class PrepareLocalPathTest : public ::testing::Test
{
protected:
    bool IsDir(const std::string &systemPath) const
    {
        return QFileInfo(QString::fromStdString(FileSystem::NativePath(systemPath))).isDir();
    }

    test::TempDir m_root;
    SiteJob m_job;
};

TEST_F(PrepareLocalPathTest, CreatesExactlyTheMissingLevelsAndRecordsOnlyThose)
{
    const std::string existing = m_root.Path() + "Sites\\";
    ASSERT_TRUE(FileSystem::MakeDir(existing));

    std::string path = existing + "www.Host.com/Dir/page.html";
    PrepareLocalPath(path, m_job);

    EXPECT_EQ(path, existing + "Host.com\\Dir\\page.html");
    EXPECT_TRUE(IsDir(existing + "Host.com\\"));
    EXPECT_TRUE(IsDir(existing + "Host.com\\Dir\\"));
    EXPECT_FALSE(IsDir(path));
    // Case is kept, so that a case-sensitive file system finds the directories again.
    EXPECT_EQ(m_job.createdDirs, existing + "Host.com\\*" + existing + "Host.com\\Dir\\*");

    const std::string before = m_job.createdDirs;
    PrepareLocalPath(path, m_job);
    EXPECT_EQ(m_job.createdDirs, before);
}

TEST_F(PrepareLocalPathTest, PathWithoutSeparatorCreatesNothing)
{
    std::string path = "page.html";
    PrepareLocalPath(path, m_job);
    EXPECT_EQ(path, "page.html");
    EXPECT_TRUE(m_job.createdDirs.empty());
}

TEST_F(PrepareLocalPathTest, AFailedLevelDoesNotStopTheWalk)
{
    // A file stands where a directory should be: that level fails, deeper ones fail too, and
    // nothing is recorded for them.
    ASSERT_TRUE(FileSystem::WriteFile(m_root.Path() + "blocker", "x"));
    std::string path = m_root.Path() + "blocker\\sub\\file.txt";
    PrepareLocalPath(path, m_job);
    EXPECT_TRUE(m_job.createdDirs.empty());

    MakeDirectory(m_root.Path() + "fresh\\", m_job);
    MakeDirectory(m_root.Path() + "fresh\\", m_job);
    EXPECT_EQ(m_job.createdDirs, m_root.Path() + "fresh\\*");
}

TEST(FileSystemLayer, ContainmentResolvesDotSegmentsLexically)
{
    const std::string out = "\\tmp\\out\\";
    EXPECT_TRUE(FileSystem::IsInsideDirectory("\\tmp\\out\\host\\a.html", out));
    EXPECT_TRUE(FileSystem::IsInsideDirectory("\\tmp\\out\\host\\missing\\..\\a.html", out));
    EXPECT_TRUE(FileSystem::IsInsideDirectory("\\tmp\\out\\", out));
    EXPECT_FALSE(FileSystem::IsInsideDirectory("\\tmp\\out\\..\\x.html", out));
    EXPECT_FALSE(FileSystem::IsInsideDirectory("\\tmp\\out\\host\\..\\..\\..\\etc\\x", out));
    EXPECT_FALSE(FileSystem::IsInsideDirectory("\\tmp\\outside\\x", out));
    EXPECT_FALSE(FileSystem::IsInsideDirectory("relative\\x", out));
    EXPECT_FALSE(FileSystem::IsInsideDirectory("", out));
}

TEST(FileSystemLayer, DotSegmentsNameTheSameFileWhetherOrNotTheDirectoryExists)
{
    test::TempDir root;
    ASSERT_TRUE(FileSystem::WriteFile(root.Path() + "a.txt", "abc"));
    EXPECT_EQ(FileSystem::FileSize(root.Path() + "missing\\..\\a.txt"), 3);
    EXPECT_TRUE(FileSystem::AppendToFile(root.Path() + "a.txt", "d"));
    EXPECT_EQ(test::ReadFileBytes(root.Path() + "a.txt"), "abcd");
    EXPECT_EQ(FileSystem::ReadLines(root.Path() + "a.txt"), std::vector<std::string> {"abcd"});
    EXPECT_FALSE(FileSystem::ReadLines(root.Path() + "nothing.txt"));
    EXPECT_TRUE(FileSystem::RemoveFile(root.Path() + "a.txt"));
    EXPECT_FALSE(FileSystem::RemoveFile(root.Path() + "a.txt"));
}

} // namespace
} // namespace tw
