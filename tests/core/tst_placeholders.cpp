#include "output/filesystem.h"
#include "output/placeholders.h"

#include "support/testenvironment.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

class PlaceholderTest : public ::testing::Test
{
protected:
    void SetUp() override { m_job.outputDir = m_root.Path(); }

    std::string Queue(const std::string &relative)
    {
        std::string path = m_root.Path() + relative;
        EXPECT_TRUE(AppendLine(kPlaceholderText, path, m_job));
        return path;
    }

    test::TempDir m_root;
    SiteJob m_job;
};

TEST(NthToken, CountsPiecesFromOneWithTheTrailingEmptyPiece)
{
    const std::tuple<const char *, std::size_t, const char *> cases[]
        = {{"a*b*", 1, "a"}, {"a*b*", 2, "b"}, {"a*b*", 3, ""}, {"a*b*", 4, ""}, {"", 1, ""},
            {"abc", 1, "abc"}, {"abc", 2, ""}, {"  a*b  ", 2, "b"}};
    for (const auto &[list, n, piece] : cases)
        EXPECT_EQ(NthToken(list, n, '*'), piece) << list << ' ' << n;
}

TEST_F(PlaceholderTest, SweepDeletesOnlyInDirectoriesTheJobCreated)
{
    ASSERT_TRUE(FileSystem::MakeDir(m_root.Path() + "old"));
    const std::string before = m_root.Path() + "old\\kept.html.tmp";
    ASSERT_TRUE(FileSystem::WriteFile(before, "x"));
    const std::string top = Queue("Host.com\\a.html.tmp");
    const std::string deep = Queue("Host.com\\Sub\\b.html.tmp");
    const std::string keep = Queue("Host.com\\Sub\\page.html");
    const std::string inOld = Queue("old\\c.html.tmp");
    EXPECT_EQ(test::ReadFileBytes(deep), std::string(kPlaceholderText) + "\r\n");

    SweepPlaceholders(m_job);

    EXPECT_FALSE(FileExists(top));
    EXPECT_FALSE(FileExists(deep));
    EXPECT_TRUE(FileExists(keep));
    EXPECT_TRUE(FileExists(before));
    EXPECT_TRUE(FileExists(inOld));
}

TEST_F(PlaceholderTest, SweepReachesEveryOneOfThousandsOfDirectories)
{
    std::vector<std::string> placeholders;
    for (int i = 0; i < 1500; ++i)
        placeholders.push_back(
            Queue("host.com\\directory-with-a-long-name-" + std::to_string(i) + "\\x.tmp"));
    ASSERT_GT(m_job.createdDirs.size(), 32767u);
    SweepPlaceholders(m_job);
    for (const auto &path : placeholders)
        ASSERT_FALSE(FileExists(path)) << path;
}

} // namespace
} // namespace tw
