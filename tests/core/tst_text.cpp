// The small text helpers whose quirks the rest of the program builds on.

#include "common/stringops.h"
#include "output/filesystem.h"

#include "support/testenvironment.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(Text, GetExtensionTakesTheLastDotAnywhereInTheText)
{
    const std::pair<const char *, const char *> cases[]
        = {{"page.html", ".html"}, {"archive.tar.gz", ".gz"}, {"ends.", "."}, {"readme", "readme"},
            {"host.com/dir/page", ".com/dir/page"}, {"", ""}};
    for (const auto &[text, extension] : cases)
        EXPECT_EQ(GetExtension(text), extension) << text;
}

TEST(Text, HelpersTouchOnlyWhatTheySay)
{
    EXPECT_EQ(LowerTrim("  Index.HTML  "), "index.html");
    EXPECT_EQ(LowerTrim("\tA "), "\ta");
    EXPECT_EQ(LastChar("abc "), " ");
    EXPECT_EQ(LastChar("   "), "");
    EXPECT_EQ(ReplaceAll("///", "//", "/"), "//");
    EXPECT_EQ(ReplaceAll("x.php", ".php", ".php.html"), "x.php.html");
    EXPECT_EQ(ReplaceAll("abc", "", "z"), "abc");
    test::TempDir dir;
    EXPECT_FALSE(FileExists(""));
    EXPECT_FALSE(FileExists(dir.Path() + "missing\\file.txt"));
}

} // namespace
} // namespace tw
