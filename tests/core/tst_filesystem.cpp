// The names the system is given, and the logs kept open between lines.

#include "output/filesystem.h"

#include "support/testenvironment.h"

#include <filesystem>
#include <random>

#include <gtest/gtest.h>

namespace tw {
namespace {

#ifndef _WIN32
TEST(NativePath, ResolvesDotsAsLexicallyNormalDoes)
{
    std::mt19937 random(7);
    const char *names[] = {"a", "bc", "..", ".", ""};
    for (int i = 0; i < 20000; ++i) {
        std::string systemPath = random() % 3 == 0 ? "/" : "";
        for (int count = static_cast<int>(random() % 7), n = 0; n < count; ++n)
            systemPath += std::string(names[random() % 5]) + (n + 1 < count ? "/" : "");
        if (systemPath.find_first_not_of('/') == std::string::npos)
            continue;
        ASSERT_EQ(FileSystem::NativePath(systemPath),
            std::filesystem::path(systemPath).lexically_normal().string())
            << systemPath;
    }
}
#endif

TEST(Logs, EachLineIsInTheFileWhenItsAppendReturns)
{
    const test::TempDir dir;
    const std::string log = dir.Path() + "log.txt";
    EXPECT_TRUE(FileSystem::AppendToLog(log, "a\r\n"));
    EXPECT_EQ(test::ReadFileBytes(log), "a\r\n");
    EXPECT_TRUE(FileSystem::AppendToLog(log, "b\r\n"));
    EXPECT_EQ(test::ReadFileBytes(log), "a\r\nb\r\n");
    FileSystem::CloseLogs();
    EXPECT_TRUE(FileSystem::RemoveFile(log));
    EXPECT_TRUE(FileSystem::AppendToLog(log, "c"));
    EXPECT_EQ(test::ReadFileBytes(log), "c") << "a log removed between jobs is made again";
    FileSystem::CloseLogs();
}

TEST(ReadFile, GivesAFileWholeAndAFolderAsNothing)
{
    const test::TempDir dir;
    std::string large(200'000, 'x');
    large[65'535] = 'a'; // either side of a block's end
    large[65'536] = 'b';
    const struct
    {
        const char *name;
        std::optional<std::string> written; // nullopt: a folder
        std::optional<std::string> read;
    } rows[] = {
        {"large", large, large},
        {"empty", "", ""},
        {"folder", std::nullopt, std::nullopt},
    };
    for (const auto &row : rows) {
        const std::string path = dir.Path() + row.name;
        if (row.written)
            ASSERT_TRUE(FileSystem::WriteFile(path, *row.written)) << row.name;
        else
            ASSERT_TRUE(FileSystem::MakeDir(path)) << row.name;
        EXPECT_EQ(FileSystem::ReadFile(path), row.read) << row.name;
    }
    EXPECT_EQ(FileSystem::ReadFile(dir.Path() + "missing"), std::nullopt);
}

} // namespace
} // namespace tw
