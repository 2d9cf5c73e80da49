#include "extractor/stringops.h"

#include "support/testenvironment.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(StringOps, GetExtensionTakesTheLastDotAnywhereInTheText)
{
    EXPECT_EQ(GetExtension("page.html"), ".html");
    EXPECT_EQ(GetExtension("archive.tar.gz"), ".gz");
    EXPECT_EQ(GetExtension("ends."), ".");
    EXPECT_EQ(GetExtension(".profile"), ".profile");
    EXPECT_EQ(GetExtension("readme"), "readme");
    EXPECT_EQ(GetExtension("host.com/dir/page"), ".com/dir/page");
    EXPECT_EQ(GetExtension("a.b/c"), ".b/c");
    EXPECT_EQ(GetExtension(""), "");
}

TEST(StringOps, ReverseAndTrimOnlyTouchSpaces)
{
    EXPECT_EQ(ReverseString(""), "");
    EXPECT_EQ(ReverseString("abc"), "cba");
    EXPECT_EQ(LowerTrim("  Index.HTML  "), "index.html");
    EXPECT_EQ(LowerTrim("\tA "), "\ta");
    EXPECT_EQ(LowerTrim("a  b"), "a  b");
}

TEST(StringOps, LastCharOfBlankTextIsEmpty)
{
    EXPECT_EQ(LastChar("abc "), " ");
    EXPECT_EQ(LastChar("   "), "");
    EXPECT_EQ(LastChar(""), "");
    EXPECT_EQ(LastChar("a\\"), "\\");
}

TEST(StringOps, ReplaceAllIsOnePassWithoutOverlaps)
{
    EXPECT_EQ(ReplaceAll("///", "//", "/"), "//");
    EXPECT_EQ(ReplaceAll("aaaa", "aa", "a"), "aa");
    EXPECT_EQ(ReplaceAll("x.php", ".php", ".php.html"), "x.php.html");
    EXPECT_EQ(ReplaceAll("abc", "", "z"), "abc");
}

TEST(StringOps, FileExistsIsFalseForAnythingThatIsNotThere)
{
    test::TempDir dir;
    EXPECT_FALSE(FileExists(""));
    EXPECT_FALSE(FileExists(dir.Path() + "missing\\file.txt"));
    EXPECT_FALSE(FileExists(dir.Path() + "nul\0x"));
    EXPECT_FALSE(FileExists(dir.Path() + "no-such-file"));
}

} // namespace
} // namespace tw
