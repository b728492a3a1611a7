#include <gtest/gtest.h>

#include "agent/FilterTerm.h"

namespace {

struct Case {
    const char* pattern;
    const char* path;
    bool isFolder;
    bool matches;
};

TEST(FilterTerm, MatchesPathsAsDocumented) {
    const Case cases[] = {
        {"/srv/data/cache", "/srv/data/cache", true, true},
        {"/srv/data/cache", "/srv/data/cache/x", false, false},  // below: the caller's concern
        {"/srv/data/cache", "/srv/data/cachex", true, false},
        {"/srv/data/cache", "/srv/data", true, false},
        {"/srv//data/./cache", "/srv/data/cache", true, true},
        {"*.tmp", "/a/b/c.tmp", false, true},
        {"*.tmp", "/c.tmp", false, true},
        {"*.tmp", "/a/b/c.tmpx", false, false},
        {"*.tmp", "/a/.tmp", false, true},  // dot files are names like any other
        {"cache/", "/x/cache", true, true},
        {"cache/", "/x/cache", false, false},
        {"/home/*/.cache", "/home/ann/.cache", true, true},
        {"/home/*/.cache", "/home/ann/x/.cache", true, false},
        {"/home/**/.cache", "/home/.cache", true, true},
        {"/home/**/.cache", "/home/a/b/c/.cache", true, true},
        {"/mnt/x/**", "/mnt/x", true, false},
        {"/mnt/x/**", "/mnt/x/y", false, true},
        {"/data/[a-c]?.log", "/data/b1.log", false, true},
        {"/data/[a-c]?.log", "/data/d1.log", false, false},
        {"/data/[!a-c]*", "/data/d", false, true},
        {"/data/[^a-c]*", "/data/a", false, false},
        {"/data/[]x]", "/data/]", false, true},
        {"/data/\\*lit\\[1]", "/data/*lit[1]", false, true},
        {"/data/\\*lit\\[1]", "/data/xlit1", false, false},
        {"/data/a*b*c", "/data/abc", false, true},
        {"/data/a*b*c", "/data/aXbYbZc", false, true},
        {"/data/a*b*c", "/data/acb", false, false},
        {"/data/*ab", "/data/ab", false, true},
        {"/data/a*a", "/data/a", false, false},
        {"/", "/", true, true},
        {"/", "/a", true, false},
        {"**", "/a/b", false, true},
        {"/*", "/a", false, true},
        {"/*", "/a/b", false, false},
        {"/tmp/", "/tmp", false, false},
    };
    for (const Case& c : cases) {
        CFilterTerm term;
        ASSERT_TRUE(term.LoadRaw(c.pattern).IsSuccess()) << c.pattern;
        EXPECT_EQ(term.Matches(c.path, c.isFolder), c.matches) << c.pattern << " on " << c.path;
    }
}

TEST(FilterTerm, QuickPatternsTakeRelativePathsAtAnyDepth) {
    CFilterTerm term;
    ASSERT_TRUE(term.LoadRaw("build/out", EFilterSyntax::Quick).IsSuccess());
    EXPECT_FALSE(term.IsAnchored());
    EXPECT_TRUE(term.Matches("/src/build/out", true));
    EXPECT_TRUE(term.Matches("/build/out", true));
    EXPECT_FALSE(term.Matches("/src/build/out/x", false));
    EXPECT_FALSE(term.Matches("/src/xbuild/out", false));
    // The subclient's filter strings refuse what they would have to guess.
    EXPECT_TRUE(FXErrorUtil::IsWin32(term.LoadRaw("build/out"), ZyWin32::ERROR_INVALID_DATA));
    EXPECT_TRUE(term.Components().empty());
}

TEST(FilterTerm, RefusesWhatItCannotParse) {
    const struct {
        const char* pattern;
        const char* reason;
    } bad[] = {
        {"", "empty"},
        {"/a/[bc", "unclosed ["},
        {"/a/[z-a]", "reversed range"},
        {"/a/b\\", "\\ at the end"},
        {"/a/../b", "\"..\""},
        {"<WKF,Library>", "not supported"},
        {"/a/x**", "whole path component"},
        {".", "names nothing"},
        {"rel/path", "must be absolute"},
    };
    for (const auto& b : bad) {
        CFilterTerm term;
        CKoError e = term.LoadRaw(b.pattern);
        ASSERT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << b.pattern;
        EXPECT_NE(e.GetMessage().find(b.reason), std::string::npos) << e.GetMessage();
        EXPECT_NE(e.GetMessage().find("Filter=["), std::string::npos);
    }
    CFilterTerm term;
    EXPECT_TRUE(term.LoadRaw(std::string("/a\0b", 4)).IsError());
}

TEST(FilterTerm, PrefixesAndEscaping) {
    CFilterTerm term;
    ASSERT_TRUE(term.LoadRaw("/srv/data/*.tmp").IsSuccess());
    EXPECT_EQ(term.GetPrefix(), "/srv/data");
    ASSERT_TRUE(term.LoadRaw("/*.tmp").IsSuccess());
    EXPECT_EQ(term.GetPrefix(), "/");
    ASSERT_TRUE(term.LoadRaw("*.tmp").IsSuccess());
    EXPECT_EQ(term.GetPrefix(), "");

    const std::string odd = "/opt/zy[1]/a*b?\\c";
    const std::string escaped = CFilterTerm::EscapeLiteral(odd);
    EXPECT_EQ(escaped, "/opt/zy\\[1]/a\\*b\\?\\\\c");
    ASSERT_TRUE(term.LoadRaw(escaped).IsSuccess());
    EXPECT_TRUE(term.Matches(odd, false));
    EXPECT_FALSE(term.Matches("/opt/zy1/aXbYc", false));
    EXPECT_EQ(term.GetPrefix(), odd);

    CFilterGlob glob;
    ASSERT_TRUE(glob.Parse("ab?*x\\*y").IsSuccess());
    EXPECT_EQ(glob.LiteralPrefix(), "ab");
    EXPECT_EQ(glob.LiteralSuffix(), "x*y");
}

}  // namespace
