#include "output/filesystem.h"
#include "output/filetypes.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(FileTypeList, FileContentsGiveTheFilter)
{
    FileSystem::MakeDir(FileSystem::ProgramDirectory() + "\\temp");
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

} // namespace
} // namespace tw
