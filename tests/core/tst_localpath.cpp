#include "output/filesystem.h"
#include "output/localpath.h"

#include "support/testenvironment.h"

#include <QFileInfo>

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(LocalPath, SanitizingAndNormalizingMapUrlsToNames)
{
    const std::pair<std::string, std::string> sanitized[] = {
        {"page.php?id=1&x=<2>", "page.php_id=1_x=_2_"},
        {"a{b}c|d*", "abcd"},
        {"a!b", "a_b"},
        {std::string(8, '_'), "_"},
        {std::string(9, '_'), "__"},
        {"?&", "_"}, // two replacements in a row collapse to one underscore
        {"C:\\web sites\\%20.\"q\"", "C:\\web sites\\%20.\"q\""},
    };
    for (const auto &[input, expected] : sanitized)
        EXPECT_EQ(SanitizePath(input), expected) << input;
    // ".html" is added only to a path without any dot.
    EXPECT_EQ(SanitizeSavePath("\\localhost/dir/page"), "\\localhost/dir/page.html");
    EXPECT_EQ(SanitizeSavePath("\\host.com/dir/page"), "\\host.com/dir/page");
    EXPECT_EQ(SanitizeSavePath("\\localhost/dir/"), "\\localhost/dir/.html");
    EXPECT_EQ(NormalizeLocalPath("C:\\sites\\\\www.host.com/dir/page.html"),
        "C:\\sites\\host.com\\dir\\page.html");
    EXPECT_EQ(NormalizeLocalPath("  http://www.host.com/a  "), "host.com\\a");
    EXPECT_EQ(NormalizeLocalPath("C:\\www.mirror\\x"), "C:\\mirror\\x");
    EXPECT_EQ(NormalizeLocalPath("a\\\\\\b"), "a\\\\b");
}

TEST(LocalPath, PrepareCreatesAndRecordsExactlyTheMissingLevels)
{
    test::TempDir root;
    SiteJob job;
    const auto isDir = [](const std::string &path) {
        return QFileInfo(QString::fromStdString(FileSystem::NativePath(path))).isDir();
    };
    const std::string existing = root.Path() + "Sites\\";
    ASSERT_TRUE(FileSystem::MakeDir(existing));
    std::string path = existing + "www.Host.com/Dir/page.html";
    PrepareLocalPath(path, job);
    EXPECT_EQ(path, existing + "Host.com\\Dir\\page.html");
    EXPECT_TRUE(isDir(existing + "Host.com\\Dir\\"));
    EXPECT_FALSE(isDir(path));
    // Case is kept, so that a case-sensitive file system finds the directories again.
    const std::string recorded = existing + "Host.com\\*" + existing + "Host.com\\Dir\\*";
    EXPECT_EQ(job.createdDirs, recorded);
    PrepareLocalPath(path, job);
    path = "page.html";
    PrepareLocalPath(path, job);
    EXPECT_EQ(job.createdDirs, recorded);

    // A file where a directory should be: that level and the deeper ones are not recorded.
    ASSERT_TRUE(FileSystem::WriteFile(root.Path() + "blocker", "x"));
    path = root.Path() + "blocker\\sub\\file.txt";
    PrepareLocalPath(path, job);
    MakeDirectory(root.Path() + "fresh\\", job);
    MakeDirectory(root.Path() + "fresh\\", job);
    EXPECT_EQ(job.createdDirs, recorded + root.Path() + "fresh\\*");
}

TEST(LocalPath, NamesAndPathsAreFittedToTheSystemsLimitsInAStableWay)
{
    const std::string longName = std::string(300, 'n') + ".html";
    std::string deep;
    for (int i = 0; i < 17; ++i)
        deep += "\\" + std::string(250, static_cast<char>('a' + i));
    deep += "\\file.gif";
    struct Case
    {
        std::string path;
        std::size_t names; // names of the fitted path, the empty one before its first "/" included
        std::string ends; // how the fitted path ends
    };
    const std::vector<Case> cases = {
        {"\\out\\a\\.\\b\\..\\c.html", 4, "/out/a/c.html"},
        {"\\out\\" + longName, 3, ".html"},
        {"\\out\\" + std::string(300, 'x'), 3, ""},
        {"\\out\\" + std::string(255, 'k') + "\\k.html", 4, "k.html"},
        // The folders that fit with room for one name, and the rest folded into that name.
        {deep, 17, ".gif"},
    };
    for (const Case &c : cases) {
        const std::string fitted = FileSystem::NativePath(c.path);
        SCOPED_TRACE(fitted.substr(0, 40));
        EXPECT_LE(fitted.size(), FileSystem::kMaxPathBytes);
        EXPECT_TRUE(fitted.ends_with(c.ends));
        std::size_t names = 0;
        for (std::size_t start = 0; start <= fitted.size(); ++names) {
            const std::size_t end = std::min(fitted.find('/', start), fitted.size());
            EXPECT_LE(end - start, FileSystem::kMaxNameBytes);
            start = end + 1;
        }
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(FileSystem::NativePath(c.path), fitted) << "stable";
        EXPECT_EQ(FileSystem::NativePath(FileSystem::SystemPath(fitted)), fitted) << "fitted once";
    }
    // Names that differ only past the cut stay apart.
    EXPECT_NE(FileSystem::NativePath("\\out\\" + longName),
        FileSystem::NativePath("\\out\\" + std::string(299, 'n') + "m.html"));
}

} // namespace
} // namespace tw
