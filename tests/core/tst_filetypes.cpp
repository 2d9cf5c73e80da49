#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/settings.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

class FileTypeListTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FileSystem::MakeDir(FileSystem::ProgramDirectory() + "\\temp");
        FileSystem::RemoveFile(FileTypeListPath());
    }
    void TearDown() override { FileSystem::RemoveFile(FileTypeListPath()); }
};

TEST_F(FileTypeListTest, MissingFileGivesTheFallbackEntries)
{
    EXPECT_EQ(LoadFileTypeFilter(), ":.htm::.html::.gif::.jpg::.txt::.css::.php:");
}

TEST_F(FileTypeListTest, BlankPaddedAndUpperCaseLines)
{
    ASSERT_TRUE(
        FileSystem::WriteFile(FileTypeListPath(), "  .HTML \r\n\r\n   \r\nhtml\r\n.gif\n.gif\r\n"));
    EXPECT_EQ(LoadFileTypeFilter(), ":.html::html::.gif::.gif:");
}

TEST_F(FileTypeListTest, EmptyFileWantsNothing)
{
    ASSERT_TRUE(FileSystem::WriteFile(FileTypeListPath(), "\r\n  \r\n"));
    EXPECT_EQ(LoadFileTypeFilter(), "");
}

TEST_F(FileTypeListTest, DefaultListRoundTripsInOrder)
{
    std::vector<std::string> entries {"stale"};
    MakeFileTypesFile(entries);
    EXPECT_EQ(entries, DefaultFileTypes());
    EXPECT_EQ(LoadFileTypeFilter(),
        ":.htm::.html::.php::.asp::.txt::.gif::.jpg::.jpeg::.png::.pdf::.zip::.css:");

    SaveFileTypes({" .Html ", ".gif"});
    EXPECT_EQ(ReadFileTypes(), (std::vector<std::string> {".Html", ".gif"}));
}

TEST(SettingsStore, MissingKeyGivesTheDefaultAndValuesPersist)
{
    EXPECT_EQ(ReadSetting(QStringLiteral("NoSuchKey"), QStringLiteral("http://")),
        QStringLiteral("http://"));
    WriteSetting(QStringLiteral("Timeout"), QStringLiteral("45"));
    EXPECT_EQ(ReadSetting(QStringLiteral("Timeout"), QStringLiteral("20")), QStringLiteral("45"));
}

} // namespace
} // namespace tw
