// The small text helpers whose quirks the rest of the program builds on.

#include "common/stringops.h"
#include "connections/engine.h"
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

TEST(Text, FormatByteSizeKeepsThreeSignificantDigits)
{
    const std::pair<std::int64_t, const char *> cases[] = {{0, "0 bytes"}, {532, "532 bytes"},
        {1229, "1.20 KB"}, {12595, "12.2 KB"}, {125952, "123 KB"}, {1048575, "1023 KB"},
        {1258292, "1.20 MB"}, {std::int64_t(5) << 30, "5.00 GB"}};
    for (const auto &[bytes, text] : cases)
        EXPECT_EQ(FormatByteSize(bytes), QString::fromLatin1(text)) << bytes;
}

} // namespace
} // namespace tw
