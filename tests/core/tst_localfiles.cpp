// The text helpers the rest builds on, the file-type list, placeholders and their sweep, and
// the local names and folders URLs are stored under.

#include "common/percentcoding.h"
#include "common/stringops.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/localpath.h"
#include "output/placeholders.h"

#include "support/testenvironment.h"

#include <QFileInfo>

#include <gtest/gtest.h>

#include <tuple>

namespace tw {
namespace {

TEST(Text, HelpersTouchOnlyWhatTheySay)
{
    const std::pair<const char *, const char *> extensions[]
        = {{"page.html", ".html"}, {"archive.tar.gz", ".gz"}, {"ends.", "."}, {"readme", "readme"},
            {"host.com/dir/page", ".com/dir/page"}, {"", ""}};
    for (const auto &[text, extension] : extensions)
        EXPECT_EQ(GetExtension(text), extension) << text;
    EXPECT_EQ(LowerTrim("  Index.HTML  "), "index.html");
    EXPECT_EQ(LowerTrim("\tA "), "\ta");
    EXPECT_EQ(ReplaceAll("///", "//", "/"), "//");
    EXPECT_EQ(ReplaceAll("x.php", ".php", ".php.html"), "x.php.html");
    EXPECT_EQ(ReplaceAll("abc", "", "z"), "abc");
    EXPECT_EQ((FindAnyOf<'/', '?'>("a?b/c", 2)), 3U);
    EXPECT_EQ((FindAnyOf<'/', '?'>("abc")), std::string_view::npos);
    EXPECT_TRUE(EqualsNoCase("HTTP", "http"));
    EXPECT_FALSE(EqualsNoCase("https", "http"));
    // Each remembered value is its own, whatever the key, and a new key works it out again.
    EXPECT_EQ(RememberedFor<ToLower>(" Ab"), " ab");
    EXPECT_EQ(RememberedFor<Trim>(" Ab"), "Ab");
    EXPECT_EQ(RememberedFor<ToLower>("Cd"), "cd");
    test::TempDir dir;
    EXPECT_FALSE(FileExists(""));
    EXPECT_FALSE(FileExists(dir.Path() + "missing/file.txt"));
}

TEST(Text, PercentEscapesAreReadByTheCallersRule)
{
    EXPECT_EQ(PercentEncoded("a b%\xC3", [](unsigned char c) { return c <= ' ' || c >= 0x80; }),
        "a%20b%%C3");
    // text, decoded when only hexadecimal digits start an escape, and when any two bytes do.
    const std::tuple<std::string, std::string, std::string> decoded[] = {
        {"%41%2f%2F", "A//", "A//"},
        {"%zz", "%zz", std::string(1, '\xFA')},
        {"%4%41", "%4A", "e41"},
        {"a%4", "a%4", "a%4"},
        {"%", "%", "%"},
    };
    for (const auto &[text, hex, anyTwo] : decoded) {
        EXPECT_EQ(PercentDecoded(text, EscapeDigits::Hex), hex) << text;
        EXPECT_EQ(PercentDecoded(text, EscapeDigits::AnyTwo), anyTwo) << text;
    }
}

TEST(FileTypeList, FileContentsGiveTheFilter)
{
    FileSystem::MakeDir(FileSystem::ProgramDirectory() + "/temp");
    FileSystem::RemoveFile(FileTypeListPath());
    EXPECT_EQ(LoadFileTypeFilter(), ":.htm::.html::.gif::.jpg::.txt::.css::.php:"); // missing
    const std::pair<const char *, const char *> cases[] = {
        {"  .HTML \r\n\r\n   \r\nhtml\r\n.gif\n.gif\r\n", ":.html::html::.gif::.gif:"},
        {"\r\n  \r\n", ""},
    };
    for (const auto &[contents, filter] : cases) {
        ASSERT_TRUE(FileSystem::WriteFile(FileTypeListPath(), contents));
        EXPECT_EQ(LoadFileTypeFilter(), filter);
    }

    std::vector<std::string> entries {"stale"};
    MakeFileTypesFile(entries);
    EXPECT_EQ(entries, DefaultFileTypes());
    EXPECT_EQ(LoadFileTypeFilter(),
        ":.htm::.html::.php::.asp::.txt::.gif::.jpg::.jpeg::.png::.pdf::.zip::.css:");
    SaveFileTypes({" .Html ", ".gif"});
    EXPECT_EQ(ReadFileTypes(), (std::vector<std::string> {".Html", ".gif"}));
    FileSystem::RemoveFile(FileTypeListPath());
}

TEST(Placeholders, TheSweepDeletesThemInEveryDirectoryTheJobCreatedAndNowhereElse)
{
    test::TempDir root;
    SiteJob job;
    job.outputDir = root.Path();
    JobWrites writes;
    const auto queue = [&](const std::string &relative) {
        std::string path = root.Path() + relative;
        EXPECT_TRUE(AppendLine(kPlaceholderText, path, job, writes));
        return path;
    };
    ASSERT_TRUE(FileSystem::MakeDir(root.Path() + "old"));
    const std::string before = root.Path() + "old/kept.html.tmp";
    ASSERT_TRUE(FileSystem::WriteFile(before, "x"));
    const std::string inOld = queue("old/c.html.tmp");
    const std::string keep = queue("Host.com/Sub/page.html");
    std::vector<std::string> swept = {queue("Host.com/a.html.tmp")};
    // Thousands of directories, whose record is longer than 32,767 characters.
    for (int i = 0; i < 1500; ++i)
        swept.push_back(
            queue("Host.com/directory-with-a-long-name-" + std::to_string(i) + "/x.tmp"));
    ASSERT_GT(writes.DirsMade().size(), 32767u);
    EXPECT_EQ(test::ReadFileBytes(swept[0]), std::string(kPlaceholderText) + "\r\n");

    SweepPlaceholders(writes);

    for (const std::string &path : swept)
        ASSERT_FALSE(FileExists(path)) << path;
    EXPECT_TRUE(FileExists(keep));
    EXPECT_TRUE(FileExists(before));
    EXPECT_TRUE(FileExists(inOld));
}

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
    // A page without an extension, or with a query, is named as one; an asset with a query keeps
    // its extension last.
    const std::pair<const char *, const char *> saved[] = {
        {"/localhost/dir/page", "/localhost/dir/page.html"},
        {"/host.com/dir/page", "/host.com/dir/page.html"},
        {"/localhost/dir/", "/localhost/dir/.html"},
        {"/host.com/a.b/c.gif", "/host.com/a.b/c.gif"},
        {"/host.com/s.css?v=3", "/host.com/s.css_v=3.css"},
        {"/host.com/app.JS?ver=6.4/x", "/host.com/app.JS_ver=6.4/x.JS"},
        {"/host.com/p.php?id=1", "/host.com/p.php_id=1"},
        {"/host.com/x.html?a=1", "/host.com/x.html_a=1.html"},
        {"/host.com/list?page=2", "/host.com/list_page=2.html"},
    };
    for (const auto &[input, expected] : saved)
        EXPECT_EQ(SanitizeSavePath(input), expected) << input;
    EXPECT_EQ(NormalizeLocalPath("C:\\sites\\\\www.host.com/dir/page.html"),
        "C:/sites/host.com/dir/page.html");
    EXPECT_EQ(NormalizeLocalPath("  http://www.host.com/a  "), "host.com/a");
    EXPECT_EQ(NormalizeLocalPath("C:\\www.mirror\\x"), "C:/mirror/x");
    EXPECT_EQ(NormalizeLocalPath("a\\\\\\b"), "a//b");
}

TEST(LocalPath, PrepareCreatesAndRecordsExactlyTheMissingLevels)
{
    test::TempDir root;
    const SiteJob job;
    JobWrites writes;
    const auto isDir = [](const std::string &path) {
        return QFileInfo(QString::fromStdString(FileSystem::NativePath(path))).isDir();
    };
    const std::string existing = root.Path() + "Sites/";
    ASSERT_TRUE(FileSystem::MakeDir(existing));
    std::string path = existing + "www.Host.com/Dir/page.html";
    PrepareLocalPath(path, job, writes);
    EXPECT_EQ(path, existing + "Host.com/Dir/page.html");
    EXPECT_TRUE(isDir(existing + "Host.com/Dir/"));
    EXPECT_FALSE(isDir(path));
    // Case is kept, so that a case-sensitive file system finds the directories again.
    const std::string recorded = existing + "Host.com/*" + existing + "Host.com/Dir/*";
    EXPECT_EQ(writes.DirsMade(), recorded);
    PrepareLocalPath(path, job, writes);
    path = "page.html";
    PrepareLocalPath(path, job, writes);
    EXPECT_EQ(writes.DirsMade(), recorded);

    // A file where a directory should be: that level and the deeper ones are not recorded.
    ASSERT_TRUE(FileSystem::WriteFile(root.Path() + "blocker", "x"));
    path = root.Path() + "blocker/sub/file.txt";
    PrepareLocalPath(path, job, writes);
    MakeDirectory(root.Path() + "fresh/", job, writes);
    MakeDirectory(root.Path() + "fresh/", job, writes);
    EXPECT_EQ(writes.DirsMade(), recorded + root.Path() + "fresh/*");
}

TEST(LocalPath, NamesAndPathsAreFittedToTheSystemsLimitsInAStableWay)
{
    const std::string longName = std::string(300, 'n') + ".html";
    std::string deep;
    for (int i = 0; i < 17; ++i)
        deep += "/" + std::string(250, static_cast<char>('a' + i));
    deep += "/file.gif";
    // A path, how many names its fitted form has (the empty one before the first "/" included),
    // and how that form ends.
    const std::tuple<std::string, std::size_t, std::string> cases[] = {
        {"/out/a/./b/../c.html", 4, "/out/a/c.html"},
        {"/out/" + longName, 3, ".html"},
        {"/out/" + std::string(300, 'x'), 3, ""},
        {"/out/" + std::string(255, 'k') + "/k.html", 4, "k.html"},
        // The folders that fit with room for one name, and the rest folded into that name.
        {deep, 17, ".gif"},
    };
    for (const auto &[path, expectedNames, ends] : cases) {
        const std::string fitted = FileSystem::NativePath(path);
        SCOPED_TRACE(fitted.substr(0, 40));
        EXPECT_LE(fitted.size(), FileSystem::kMaxPathBytes);
        EXPECT_TRUE(fitted.ends_with(ends));
        std::size_t names = 0;
        for (std::size_t start = 0; start <= fitted.size(); ++names) {
            const std::size_t end = std::min(fitted.find('/', start), fitted.size());
            EXPECT_LE(end - start, FileSystem::kMaxNameBytes);
            start = end + 1;
        }
        EXPECT_EQ(names, expectedNames);
        EXPECT_EQ(FileSystem::NativePath(path), fitted) << "stable";
        EXPECT_EQ(FileSystem::NativePath(FileSystem::SystemPath(fitted)), fitted) << "fitted once";
    }
    // Names that differ only past the cut stay apart.
    EXPECT_NE(FileSystem::NativePath("/out/" + longName),
        FileSystem::NativePath("/out/" + std::string(299, 'n') + "m.html"));
}

} // namespace
} // namespace tw
