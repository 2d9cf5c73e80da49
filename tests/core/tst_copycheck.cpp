// The check of a copy on disk: which references lead to a file of it when it is opened from disk,
// and why the others do not.

#include "extractor/copycheck.h"

#include "common/stringops.h"
#include "support/testenvironment.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

namespace tw {
namespace {

// How the check comes by the copy's documents: all read from disk at the check; each examined
// while the copy is made, before the other files are there, read from disk or from the text
// written; or examined as other bytes, then rewritten, with one more examined and removed.
enum class Reading { AtCheck, Ahead, AheadAsWritten, AheadThenChanged };

void Write(const std::string &copy, const std::string &path, const std::string &bytes)
{
    for (auto slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        FileSystem::MakeDir(copy + path.substr(0, slash));
    EXPECT_TRUE(FileSystem::WriteFile(copy + path, bytes)) << path;
}

// Writes files (by "/" path) into a copy below dir and checks it: the pages, style sheets and SVG
// images checked, the references, how many were skipped and resolved, then each that does not
// resolve as " cause:file>reference"; the references to other sites are counted after those that
// resolve.
std::string Checked(
    const test::TempDir &dir, const std::map<std::string, std::string> &files, Reading reading)
{
    const std::string copy = dir.Path() + "copy/";
    FileSystem::MakeDir(copy);
    ExaminedDocuments examined;
    const auto examine = [&](const std::string &path, const std::string &bytes) {
        Write(copy, path, bytes);
        const WrittenText written = reading == Reading::AheadAsWritten
            ? WrittenText {std::make_shared<const std::string>(bytes),
                FileSystem::StampOf(copy + path)}
            : WrittenText {};
        if (auto document = ExamineStoredDocument(copy, path, written))
            examined.insert_or_assign(path, std::move(*document));
    };
    if (reading == Reading::AheadThenChanged) {
        examine("removed.html", "<a href=gone.html>");
        FileSystem::RemoveFile(copy + "removed.html");
    }
    for (const auto &[path, bytes] : files) {
        if (reading == Reading::Ahead || reading == Reading::AheadAsWritten)
            examine(path, bytes);
        else if (reading == Reading::AheadThenChanged)
            examine(path, bytes + "<a href=gone.html>@import 'gone.css';");
    }
    for (const auto &[path, bytes] : files) {
        if (reading == Reading::AtCheck || reading == Reading::AheadThenChanged
            || !examined.contains(path))
            Write(copy, path, bytes);
    }
    const auto before = test::ReadTree(dir.NativePath());
    const CopyCheck check = CheckCopy(copy, examined);
    EXPECT_EQ(test::ReadTree(dir.NativePath()), before) << "the check changes nothing";
    static constexpr const char *kCauses[] = {"missing", "above", "folder", "root", "online"};
    std::string summary = std::to_string(check.pages) + "p" + std::to_string(check.styleSheets)
        + "c" + std::to_string(check.svgImages) + "s " + std::to_string(check.references)
        + " refs, " + std::to_string(check.skipped) + " skipped, " + std::to_string(check.resolved)
        + " ok" + (check.otherSites > 0 ? ", " + std::to_string(check.otherSites) + " other" : "");
    for (const UnresolvedReference &each : check.unresolved)
        summary += " " + std::string(kCauses[static_cast<int>(each.cause)]) + ":" + each.file + ">"
            + each.reference;
    return summary;
}

// Pages enough for the check to share them among threads, each linking to a file the copy lacks;
// and what the check says of them, in the pages' order.
constexpr int kManyPages = 100;
std::map<std::string, std::string> PagesEachLackingAFile()
{
    std::map<std::string, std::string> files;
    for (int n = 100; n < 100 + kManyPages; ++n)
        files["p" + std::to_string(n) + ".html"] = "<img src=gone" + std::to_string(n) + ".png>";
    return files;
}
std::string PagesEachLackingAFileChecked()
{
    std::string checked = std::to_string(kManyPages) + "p0c0s " + std::to_string(kManyPages)
        + " refs, 0 skipped, 0 ok";
    for (int n = 100; n < 100 + kManyPages; ++n)
        checked += " missing:p" + std::to_string(n) + ".html>gone" + std::to_string(n) + ".png";
    return checked;
}

TEST(CopyCheck, ResolvesEachReferenceAsABrowserOpeningTheCopyFromDisk)
{
    const struct
    {
        const char *what;
        std::map<std::string, std::string> files;
        std::string checked;
    } rows[] = {
        {"a clean copy",
            {{"index.html",
                 "<a href='sub/a%20b.html?x=1#top'><link rel=stylesheet href=\"s.css?v=2\">"
                 "<a href='../copy/i.png'><a href=' sub/a b.html\n'>"},
                {"sub/a b.html", "<img src=../i.png><a href='..//index.html'><a href=\"?page=2\">"},
                {"s.css", "@import 's2.css'; x{background:url(sub/../i.png)}"}, {"s2.css", ""},
                {"i.png", ""}},
            "2p2c0s 9 refs, 0 skipped, 9 ok"},
        {"a missing file", {{"index.html", "<img src=gone.png><a href='i.png/'>"}, {"i.png", ""}},
            "1p0c0s 2 refs, 0 skipped, 0 ok missing:index.html>gone.png missing:index.html>i.png/"},
        {"a link above the copy's folder",
            {{"a/index.html", "<a href='../../x.html'><a href='../../../../../../../x.html'>"}},
            "1p0c0s 2 refs, 0 skipped, 0 ok above:a/index.html>../../x.html "
            "above:a/index.html>../../../../../../../x.html"},
        {"a folder", {{"index.html", "<a href='sub/'><a href=sub><a href=.>"}, {"sub/x.png", ""}},
            "1p0c0s 3 refs, 0 skipped, 0 ok folder:index.html>sub/ folder:index.html>sub "
            "folder:index.html>."},
        {"a root-relative link", {{"index.html", "<a href='/index.html'>"}},
            "1p0c0s 1 refs, 0 skipped, 0 ok root:index.html>/index.html"},
        {"links to other sites",
            {{"s.css", "@import url(//cdn.test/a.css);"},
                {"index.html", "<script src='https://cdn.test/x.js'></script><a href=HTTP://x>"}},
            "1p1c0s 3 refs, 0 skipped, 0 ok, 3 other"},
        {"absolute links to the site of the copy's folder or of the host folder holding the page",
            {{"index.html", "<a href='http://www.COPY./a.html'><a href='//copy:8080/b.html'>"},
                {"site.test+8080/a/index.html",
                    "<img src='https://me@site.test:8080/i.png'><a href=https://copy.site.test>"
                    "<a href='http://site.test.other/'><a href='HTTPS://site.test\\x'>"}},
            "2p0c0s 6 refs, 0 skipped, 0 ok, 2 other online:index.html>http://www.COPY./a.html "
            "online:index.html>//copy:8080/b.html "
            "online:site.test+8080/a/index.html>https://me@site.test:8080/i.png "
            "online:site.test+8080/a/index.html>HTTPS://site.test\\x"},
        {"a base that leads online, to another site and to the page's own",
            {{"index.html", "<base href='https://x.test/'><a href='i.png'>"},
                {"x.test/index.html", "<base href='https://x.test/'><a href='i.png'>"},
                {"i.png", ""}},
            "2p0c0s 2 refs, 0 skipped, 0 ok, 1 other online:x.test/index.html>i.png"},
        {"what no copy makes local, and links to the page itself",
            {{"index.html",
                "<a href='#top'><a href='mailto:a@b'><img src='data:,x'><a href='javascript:x()'>"
                "<a href='index.html#f'><a href=tel:1><link rel=canonical "
                "href='https://x.test/'>"}},
            "1p0c0s 6 refs, 6 skipped, 0 ok"},
        {"an SVG image, and the report beside a page",
            {{"i.svg", "<svg><image href='gone.png'/></svg>"},
                {"report.html", std::string(kReportMark) + "<a href=gone.html>"}},
            "0p0c1s 1 refs, 0 skipped, 0 ok missing:i.svg>gone.png"},
        {"many pages", PagesEachLackingAFile(), PagesEachLackingAFileChecked()},
    };
    for (const Reading reading :
        {Reading::AtCheck, Reading::Ahead, Reading::AheadAsWritten, Reading::AheadThenChanged}) {
        for (const auto &row : rows) {
            test::TempDir dir;
            EXPECT_EQ(Checked(dir, row.files, reading), row.checked)
                << row.what << ", read " << static_cast<int>(reading);
        }
    }
}

} // namespace
} // namespace tw
