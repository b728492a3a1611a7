#include <gtest/gtest.h>

#include "core/Path.h"
#include "core/ScanMisc.h"
#include "core/StringUtil.h"

namespace {

std::string Appended(std::string path, const std::string& name) {
    EXPECT_TRUE(FXPath::Append(path, name).IsSuccess());
    return path;
}

TEST(FXPath, AppendJoinsWithOneDelimiter) {
    EXPECT_EQ(Appended("/a", "b"), "/a/b");
    EXPECT_EQ(Appended("/a/", "b"), "/a/b");
    EXPECT_EQ(Appended("/a/", "/b"), "/a/b");
    EXPECT_EQ(Appended("/", "b"), "/b");
    EXPECT_EQ(Appended("", "b"), "b");
    EXPECT_EQ(Appended("/a", "/"), "/a/");
    EXPECT_EQ(Appended("/a/", "\\"), "/a/");
    EXPECT_EQ(Appended("", "/"), "/");
}

TEST(FXPath, TrailingDelimiters) {
    std::string p = "/a/b//";
    EXPECT_EQ(FXPath::RemoveTrailingDelimiter(p), "/a/b");
    p = "/";
    EXPECT_EQ(FXPath::RemoveTrailingDelimiter(p), "/");
    p = "//";
    EXPECT_EQ(FXPath::RemoveTrailingDelimiter(p), "/");
    p = "";
    EXPECT_EQ(FXPath::RemoveTrailingDelimiter(p), "");
    EXPECT_EQ(FXPath::AppendTrailingDelimiter(p), "");
    p = "/a";
    EXPECT_EQ(FXPath::AppendTrailingDelimiter(p), "/a/");
    EXPECT_EQ(FXPath::AppendTrailingDelimiter(p), "/a/");
}

TEST(FXPath, SplitParentPathAtTheEdges) {
    std::string parent, name;
    ASSERT_TRUE(FXPath::SplitParentPath("/a/b", parent, name).IsSuccess());
    EXPECT_EQ(parent, "/a");
    EXPECT_EQ(name, "b");
    ASSERT_TRUE(FXPath::SplitParentPath("/a/b/", parent, name).IsSuccess());
    EXPECT_EQ(parent, "/a");
    EXPECT_EQ(name, "b");
    ASSERT_TRUE(FXPath::SplitParentPath("/a", parent, name).IsSuccess());
    EXPECT_EQ(parent, "/");
    EXPECT_EQ(name, "a");
    ASSERT_TRUE(FXPath::SplitParentPath("/a//b", parent, name).IsSuccess());
    EXPECT_EQ(parent, "/a");
    EXPECT_EQ(name, "b");
    ASSERT_TRUE(FXPath::SplitParentPath("a/b", parent, name).IsSuccess());
    EXPECT_EQ(parent, "a");

    for (const char* noParent : {"", "/", "//", "a"}) {
        CKoError e = FXPath::SplitParentPath(noParent, parent, name);
        EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_PATH_NOT_FOUND)) << noParent;
    }
}

TEST(FXPath, AncestryRespectsComponentBoundaries) {
    EXPECT_TRUE(FXPath::IsAncestorOf("/a", "/a/b"));
    EXPECT_TRUE(FXPath::IsAncestorOf("/a/", "/a/b"));
    EXPECT_TRUE(FXPath::IsAncestorOf("/", "/a"));
    EXPECT_FALSE(FXPath::IsAncestorOf("/a/b", "/a/bc"));
    EXPECT_FALSE(FXPath::IsAncestorOf("/a/b", "/a/b"));
    EXPECT_TRUE(FXPath::IsAncestorOf("/a/b", "/a/b/", true));
    EXPECT_FALSE(FXPath::IsAncestorOf("/a/bc", "/a/b"));
    EXPECT_FALSE(FXPath::IsAncestorOf("", "/a"));
    EXPECT_TRUE(FXPath::IsDescendantOf("/data/x", "/data"));
    EXPECT_FALSE(FXPath::IsDescendantOf("/data2", "/data"));
    EXPECT_TRUE(FXPath::IsSamePathAs("/a/b/", "/a/b"));
    EXPECT_FALSE(FXPath::IsSamePathAs("/a/b", "/a/bc"));
    EXPECT_FALSE(FXPath::IsSamePathAs("", "/"));
}

TEST(FXString, SplitKeepsEmptyParts) {
    std::vector<std::string> parts;
    FXString::Split("a||b|", "|", parts);
    EXPECT_EQ(parts, (std::vector<std::string>{"a", "", "b", ""}));
    FXString::Split("x||y||z", "||", parts);
    EXPECT_EQ(parts, (std::vector<std::string>{"x", "y", "z"}));
    FXString::Split("", "|", parts);
    EXPECT_EQ(parts, (std::vector<std::string>{""}));
}

TEST(FXString, CaseHelpers) {
    EXPECT_TRUE(FXString::MatchLeftNoCase("PhantomCollect.ZYF", "phantom"));
    EXPECT_TRUE(FXString::MatchRightNoCase("x_PHANTOMCOLLECT.zyf", "phantomCollect.zyf"));
    EXPECT_FALSE(FXString::MatchRight("a.ZYF", ".zyf"));
    EXPECT_EQ(FXString::CompareNoCase("abc", "ABD"), -1);
    EXPECT_EQ(FXString::CompareNoCase("ab", "AB"), 0);
    EXPECT_EQ(FXString::CompareNoCase("ab", "abc"), -1);
    // File-system order is by unsigned byte: upper case first, high bytes last.
    EXPECT_LT(FXString::CompareFSCase("B", "a"), 0);
    EXPECT_LT(FXString::CompareFSCase("z", "\xC3\xA9"), 0);
    EXPECT_TRUE(__less_fscase_cmp()("z", "\xC3\xA9"));
    EXPECT_FALSE(FXString::MatchesFSCase("a", "A"));

    std::string s = "JR/old/x/OLD/y";
    EXPECT_EQ(FXString::ReplaceAllNoCase(s, "old", "new"), 2u);
    EXPECT_EQ(s, "JR/new/x/new/y");
    EXPECT_EQ(FXString::ReplaceAll(s, "new", "n"), 2u);
    EXPECT_EQ(s, "JR/n/x/n/y");

    std::string t = "  x \r\n";
    EXPECT_EQ(FXString::TrimWhiteSpace(t), "x");
    std::string u = "prefix.rest";
    EXPECT_TRUE(FXString::RemoveLeft(u, "prefix."));
    EXPECT_FALSE(FXString::RemoveRight(u, ".zyf"));
    EXPECT_EQ(u, "rest");
    EXPECT_EQ(FXString::Format("%s=[%d]", "n", 5), "n=[5]");
    EXPECT_EQ(FXString::Format("%s", std::string(2000, 'x').c_str()).size(), 2000u);
}

TEST(SXScanMisc, MonikerRoundTrips) {
    EXPECT_EQ(SXScanMisc::ConvertToUncMoniker("/local/path"), "/local/path");
    EXPECT_EQ(SXScanMisc::ConvertToUncMoniker("//srv/share/x"), "UNC-NT_srv/share/x");
    EXPECT_EQ(SXScanMisc::ConvertToUncMoniker("\\\\srv\\share"), "UNC-NT_srv\\share");
    EXPECT_EQ(SXScanMisc::ConvertFromUncMoniker("UNC-NT_srv/share/x"), "//srv/share/x");
    EXPECT_EQ(SXScanMisc::ConvertFromUncMoniker("unc-nt_srv\\share"), "\\\\srv\\share");
    EXPECT_EQ(SXScanMisc::ConvertFromUncMoniker("/UNC-NT_srv/share"), "//srv/share");
    EXPECT_EQ(SXScanMisc::ConvertFromUncMoniker("/local"), "/local");
}

}  // namespace
