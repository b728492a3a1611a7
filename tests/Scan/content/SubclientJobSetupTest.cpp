#include <gtest/gtest.h>

#include <algorithm>

#include "agent/HubServe.h"
#include "scan/content/FilterWalk.h"
#include "scan/content/SubclientJobSetup.h"
#include "support/TestSupport.h"

namespace {

bool HasLine(const std::vector<std::string>& lines, const std::string& start, const std::string& also = "") {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.rfind(start, 0) == 0 && l.find(also) != std::string::npos;
    });
}

class JobSetup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(testsupport::Shell("mkdir -p '" + dir.Path() + "/data' '" + dir.Path() + "/jr'"), 0);
        file = dir / "shares.subclient";
        testsupport::WriteFile(file, "id = 17\ncontent = " + dir.Path() + "/data\nfilter = " + dir.Path() +
                                         "/data/cache\nfilter = *.tmp\nexception = " + dir.Path() +
                                         "/data/cache/keep\nreaders = 3\n");
        ZYHubServe::SetCurrent(ZYFileHubServe::ForFile(file));
    }
    void TearDown() override { ZYHubServe::SetCurrent(nullptr); }
    testsupport::ScopedSettings settings;
    testsupport::ScopedTempDir dir;
    std::string file;
};

TEST_F(JobSetup, TakesContentFiltersAndReadersFromTheSubclient) {
    CSubclientJobSetup setup;
    ASSERT_TRUE(setup.LoadSubclient(2, 17, "host1", dir / "jr").IsSuccess());
    EXPECT_EQ(setup.Content(), (std::vector<std::string>{dir / "data"}));
    EXPECT_EQ(setup.Readers().count, 3);
    ASSERT_TRUE(setup.AddQuickFilter("build/").IsSuccess());
    std::vector<std::string> lines;
    setup.Describe(lines);
    EXPECT_TRUE(HasLine(lines, "content    " + dir.Path() + "/data"));
    EXPECT_TRUE(HasLine(lines, "filter     *.tmp", "user"));
    EXPECT_TRUE(HasLine(lines, "filter     build/", "command line"));
    EXPECT_TRUE(HasLine(lines, "exception  " + dir.Path() + "/data/cache/keep", "user"));
    EXPECT_TRUE(HasLine(lines, "readers    3  Number of Data Readers configured in subclient: 3"));
    EXPECT_TRUE(HasLine(lines, "origin     server"));

    std::shared_ptr<const CFilterMatcher> matcher;
    ASSERT_TRUE(setup.Filters().Compile(matcher).IsSuccess());
    CFilterWalk walk(matcher);
    EXPECT_FALSE(walk.Decide(dir / "data/cache", true).included);
    EXPECT_TRUE(walk.Decide(dir / "data/cache/keep", true).included);
    EXPECT_FALSE(walk.Decide(dir / "data/cache/keep/x.tmp", false).included);
    EXPECT_FALSE(walk.Decide(dir / "data/src/build", true).included);
}

TEST_F(JobSetup, UsesTheLocalCopyWhenTheServerIsAwayAndSaysSo) {
    CSubclientJobSetup first;
    ASSERT_TRUE(first.LoadSubclient(2, 17, "host1", dir / "jr").IsSuccess());
    settings.Set("Agent", "HubServeOffline", "1");
    CSubclientJobSetup setup;
    ASSERT_TRUE(setup.LoadSubclient(2, 17, "host1", dir / "jr").IsSuccess());
    EXPECT_TRUE(setup.Origin().fromLocalCopy);
    EXPECT_EQ(setup.Content(), first.Content());
    EXPECT_EQ(setup.Readers().count, 4);  // the subclient cannot be asked
    std::vector<std::string> lines;
    setup.Describe(lines);
    EXPECT_TRUE(HasLine(lines, "origin     local copy " + dir.Path() + "/jr/BackupContent.xml", "cannot be reached"));
    EXPECT_TRUE(HasLine(lines, "filter     *.tmp", "user (local copy)"));
    EXPECT_TRUE(HasLine(lines, "readers    4  the server cannot be reached"));
}

TEST_F(JobSetup, WrongDefinitionsAndPatternsAreClearErrors) {
    testsupport::WriteFile(file, "id = 17\ncontent = " + dir.Path() + "/data\nfilter = /a/[b\n");
    CSubclientJobSetup setup;
    CKoError e = setup.LoadSubclient(2, 17, "host1", dir / "jr");
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("shares.subclient] line 3: Cannot parse filter, Filter=[/a/[b]: unclosed ["),
              std::string::npos)
        << e.AsString();

    CSubclientJobSetup quick;
    quick.AddContent("/srv");
    e = quick.AddQuickException("/a/../b");
    ASSERT_TRUE(e.IsError());
    EXPECT_NE(e.AsString().find("Bad exception from command line"), std::string::npos);
    ASSERT_TRUE(quick.ChooseAutomaticReaders().IsSuccess());
    std::vector<std::string> lines;
    quick.Describe(lines);
    EXPECT_TRUE(HasLine(lines, "readers    4  Optimal number of Data Readers: 4"));
    EXPECT_TRUE(HasLine(lines, "origin     command line"));

    CEffectiveFilters filters;
    filters.AddOrSkip("<token>", EFilterRuleKind::Filter, EFilterSyntax::Subclient, "system:X");
    filters.AddOrSkip(std::string("/a\nb"), EFilterRuleKind::Filter, EFilterSyntax::Subclient, "system:Y");
    EXPECT_EQ(filters.Skipped().size(), 1u);
    lines.clear();
    filters.Describe(lines);
    EXPECT_TRUE(HasLine(lines, "filter     /a\\x0Ab", "system:Y"));
    EXPECT_TRUE(HasLine(lines, "skipped    <token>  system:X"));
}

}  // namespace
