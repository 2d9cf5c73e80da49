// The fence around the download folder: which paths lie inside it, and that each writer asks it
// before it creates, writes or deletes anything.

#include "crawl/downloadqueue.h"
#include "extractor/admission.h"
#include "output/filesystem.h"
#include "output/mirrorbounds.h"
#include "output/pagesaver.h"
#include "output/placeholders.h"

#include "support/testenvironment.h"

#include <QDirIterator>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace tw {
namespace {

TEST(DownloadFolder, APathIsInsideOnlyWhenItResolvesBelowTheFolder)
{
    std::string deep = "/tmp/out";
    for (int i = 0; i < 20; ++i)
        deep += "/" + std::string(250, 'd');
    deep += "/x.gif";
    struct Row
    {
        std::string path;
        bool inside; // FileSystem::IsInsideDirectory: "." and ".." resolved lexically
        bool stays; // StaysInOutputDir: besides, no climb over the folder, no dots-only names
        std::string dir = "/tmp/out/";
    };
    const Row rows[] = {
        {"/tmp/out/host/a.html", true, true},
        {"/tmp/out/", true, true},
        {"/tmp/out", true, false},
        {"/tmp/out/host/missing/../a.html", true, true},
        {"/tmp/out/a/../b/../a", true, true},
        // Out of the folder and back in through its own name.
        {"/tmp/out/a/../../out/a", true, false},
        {"/tmp/out/../out/a", true, false},
        {"/tmp/out/../x.html", false, false},
        {"/tmp/out/host/../../../etc/x", false, false},
        {"/tmp/out///../x", false, false},
        {"/tmp/out/host/../../x", false, false},
        // "." or ".." as the last name, and names of dots and spaces only.
        {"/tmp/out/host/..", true, false},
        {"/tmp/out/host/.", true, false},
        {"/tmp/out/...", true, false},
        {"/tmp/out/..../x", true, false},
        {"/tmp/out/. ./x", true, false},
        // Folders that only share the name's beginning.
        {"/tmp/outx/", false, false},
        {"/tmp/outx/a", false, false},
        {"/tmp/ou", false, false},
        {"/tmp/", false, false},
        // Relative paths and folders, a folder without its final "\", no folder at all.
        {"tmp/out/a", false, false},
        {"/tmp/out/a", false, false, "tmp/out/"},
        {"out/a", true, true, "out/"},
        {"out/../out2/a", false, false, "out/"},
        {"/tmp/out/a", true, false, "/tmp/out"},
        {"/tmp/outx/a", false, false, "/tmp/out"},
        {"/tmp/out/a", false, false, ""},
        {"", false, false},
        // Fitted to the system's limits, a deep path is still inside.
        {deep, true, true},
        // Cut at the NUL byte, the system would see \tmp\x.
        {"/tmp/out/../x" + std::string(1, '\0') + "/../out/a", false, false},
    };
    for (const Row &row : rows) {
        std::string backslashes = row.path;
        std::replace(backslashes.begin(), backslashes.end(), '/', '\\');
        for (const std::string &path : {row.path, backslashes}) {
            SCOPED_TRACE(path.substr(0, 60) + " in " + row.dir);
            EXPECT_EQ(FileSystem::IsInsideDirectory(path, row.dir), row.inside);
            SiteJob job;
            job.outputDir = row.dir;
            EXPECT_EQ(StaysInOutputDir(path, job), row.stays);
        }
    }
}

TEST(DownloadFolder, TheSystemIsGivenTheFileTheFenceChecked)
{
    test::TempDir root;
    ASSERT_TRUE(FileSystem::WriteFile(root.Path() + "a.txt", "abc"));
    EXPECT_EQ(FileSystem::FileSize(root.Path() + "missing/../a.txt"), 3);
    const std::string cut = root.Path() + "x" + '\0' + "/../../y";
    EXPECT_FALSE(FileSystem::WriteFile(cut, "x"));
    EXPECT_FALSE(FileSystem::MakeDir(cut));
    EXPECT_FALSE(FileExists(root.Path() + "x"));
}

// A download folder "out" in a temporary folder, beside which lies one file to keep.
class FenceTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FileSystem::WriteFile(m_temp.Path() + "victim.tmp", "keep"));
    }

    // Every file and folder below the temporary folder.
    QStringList Tree() const
    {
        QStringList tree;
        for (QDirIterator it(m_temp.NativePath(),
                 QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                 QDirIterator::Subdirectories);
             it.hasNext();)
            tree.append(it.next());
        return tree;
    }

    test::TempDir m_temp;
    SiteJob m_job = test::MirrorJob(m_temp);
    JobWrites m_writes;
};

TEST_F(FenceTest, EveryWriterRefusesAPathOutsideTheDownloadFolder)
{
    // Each writer, and a call that is true when it refuses a path outside the download folder.
    const std::pair<const char *, std::function<bool()>> rows[] = {
        {"page saver",
            [&] {
                // Out of the folder and back in, which the system alone would let pass.
                return SaveDownloadedFile("x", "/new/../../out/x", m_job, m_writes).kind
                    == SaveOutcome::Kind::Failed;
            }},
        {"placeholder and log append",
            [&] {
                std::string path = m_job.outputDir + "new/../../escaped/x.tmp";
                return !AppendLine("x", path, m_job, m_writes);
            }},
    };
    for (const auto &[writer, refuses] : rows) {
        SCOPED_TRACE(writer);
        const QStringList before = Tree();
        EXPECT_TRUE(refuses());
        EXPECT_EQ(Tree(), before);
        EXPECT_EQ(test::ReadFileBytes(m_temp.Path() + "victim.tmp"), "keep");
        EXPECT_TRUE(m_writes.DirsMade().empty());
    }
}

TEST_F(FenceTest, AFileTheSystemWouldFoldAboveADeepDownloadFolderIsNotStored)
{
    // A download folder of 3,902 bytes: the saved name, 5 bytes longer than the one checked,
    // passes the path limit and would be folded into a name in the folder's parent.
    std::string deep = m_job.outputDir;
    while (3902 - deep.size() > 252)
        deep += std::string(250, 'f') + "/";
    deep += std::string(3902 - deep.size() - 1, 'f') + "/";
    ASSERT_EQ(deep.size(), 3902U);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(FileSystem::NativePath(deep))));
    m_job.outputDir = deep;
    const QStringList before = Tree();

    const SaveOutcome saved = SaveDownloadedFile(
        "escaped", "/host.com/" + std::string(180, 'p') + ".php", m_job, m_writes);

    EXPECT_EQ(saved.kind, SaveOutcome::Kind::Failed);
    EXPECT_EQ(Tree().size(), before.size()) << "nothing is written, inside or outside";
}

} // namespace
} // namespace tw
