#include <gtest/gtest.h>

#include <thread>

#include "core/KoError.h"
#include "scan/job/JobState.h"
#include "scan/job/ScanJobFilters.h"
#include "support/TestSupport.h"

namespace {

struct Rule {
    const char* pattern;
    bool exception;
};

CEffectiveFilters Filters(std::initializer_list<Rule> rules) {
    CEffectiveFilters f;
    for (const Rule& r : rules)
        EXPECT_TRUE(f.Add(r.pattern, r.exception ? EFilterRuleKind::Exception : EFilterRuleKind::Filter,
                          EFilterSyntax::Quick, "test")
                        .IsSuccess())
            << r.pattern;
    return f;
}

CScanJobFilters Prepared(const CEffectiveFilters& now, const CEffectiveFilters& before) {
    CScanJobFilters f;
    EXPECT_TRUE(f.Prepare(now).IsSuccess());
    EXPECT_TRUE(f.SetPrevious(CScanJobFilters::Record(before)).IsSuccess());
    return f;
}

// Items of one walk, in walk order, with what a job with those filters decides after a job with
// the previous ones: included, descend (folders only), newly included ("idn", "-d-", "i--", ...).
struct Step {
    const char* path;
    bool folder;
    const char* expected;
};

std::string Show(const CScanJobFilters::SDecision& d) {
    return std::string(d.included ? "i" : "-") + (d.descend ? "d" : "-") + (d.newlyIncluded ? "n" : "-");
}

void Walk(CScanJobFilters& filters, const std::vector<Step>& steps) {
    for (const Step& s : steps) EXPECT_EQ(Show(filters.Decide(s.path, s.folder)), s.expected) << s.path;
}

TEST(ScanJobFilters, NewlyIncludedIsWhatThePreviousFiltersLeftOutAndTheseDoNot) {
    const CEffectiveFilters none;
    const CEffectiveFilters cache = Filters({{"/srv/cache", false}, {"*.tmp", false}});
    const CEffectiveFilters cacheKeep = Filters({{"/srv/cache", false}, {"*.tmp", false}, {"/srv/cache/keep", true}});

    {
        SCOPED_TRACE("filters removed");
        CScanJobFilters f = Prepared(none, cache);
        EXPECT_TRUE(f.Changed());
        Walk(f, {{"/srv", true, "id-"}, {"/srv/a.tmp", false, "i-n"}, {"/srv/cache", true, "idn"},
                 {"/srv/cache/x", false, "i-n"}, {"/srv/b", false, "i--"}});
    }
    {
        SCOPED_TRACE("exception added");
        CScanJobFilters f = Prepared(cacheKeep, cache);
        Walk(f, {{"/srv/cache", true, "-d-"}, {"/srv/cache/x", false, "---"}, {"/srv/cache/keep", true, "idn"},
                 {"/srv/cache/keep/k", false, "i-n"}, {"/srv/cache/keep/k.tmp", false, "---"}, {"/srv/b", false, "i--"}});
    }
    {
        SCOPED_TRACE("filter added: what it leaves out is not newly anything, and not walked");
        CScanJobFilters f = Prepared(cache, none);
        EXPECT_TRUE(f.Changed());
        Walk(f, {{"/srv/cache", true, "---"}, {"/srv/a.tmp", false, "---"}, {"/srv/b", false, "i--"}});
    }
    {
        SCOPED_TRACE("the same filters");
        CScanJobFilters f = Prepared(cache, cache);
        EXPECT_FALSE(f.Changed());
        Walk(f, {{"/srv/cache", true, "---"}, {"/srv/b", false, "i--"}});
    }
    {
        SCOPED_TRACE("the same pattern read another way is a change");
        std::vector<SScanFilterRecord> before = CScanJobFilters::Record(cache);
        before[1].quick = false;
        CScanJobFilters f;
        ASSERT_TRUE(f.Prepare(cache).IsSuccess());
        ASSERT_TRUE(f.SetPrevious(before).IsSuccess());
        EXPECT_TRUE(f.Changed());
        // A relative path with "/" is no subclient filter: the previous filters cannot be read.
        EXPECT_FALSE(f.SetPrevious({{"cache/x", false, false}}).IsSuccess());
    }
}

TEST(ScanJobFilters, PreviousFiltersThatCannotBeReadBackAreAnError) {
    CScanJobFilters f;
    ASSERT_TRUE(f.Prepare(CEffectiveFilters()).IsSuccess());
    const CKoError e = f.SetPrevious({{"/srv/[abc", false, false}});
    ASSERT_TRUE(e.IsError());
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_DATA)) << e.AsString();
    EXPECT_NE(e.AsString().find("/srv/[abc"), std::string::npos) << e.AsString();
    // Only exceptions before: nothing was left out, nothing is newly included.
    ASSERT_TRUE(f.SetPrevious({{"/srv/keep", true, false}}).IsSuccess());
    EXPECT_EQ(Show(f.Decide("/srv/keep/x", false)), "i--");
}

TEST(ScanJobFilters, RecordedFiltersSurviveTheStateFileWithAnyByte) {
    SScanRecord record;
    record.jobId = 1;
    record.folder = "J1";
    record.filters = {{"*.tmp", false, true},
                      {"/srv/line\nfeed\r %41 \xff|<x>\t", true, false},
                      {"&quot;\"'", false, false}};
    CKoXDocument holder;
    CKoXNodePtr node;
    ASSERT_TRUE(CScanRecordNode::Write(record, holder, node).IsSuccess());
    // Through the text of a document, as the job-state file keeps it.
    std::string text;
    ASSERT_TRUE(holder.SaveAsString(text).IsSuccess());
    CKoXDocument reread;
    ASSERT_TRUE(reread.LoadFromString(text).IsSuccess());
    SScanRecord loaded;
    const CKoError e = CScanRecordNode::Read(reread.GetRootNode(), loaded);
    ASSERT_TRUE(e.IsSuccess()) << e.AsString();
    EXPECT_EQ(loaded.filters, record.filters);
}

TEST(ScanJobFiltersThreads, CopiesForOtherThreadsDecideAlike) {
    const CScanJobFilters base = Prepared(Filters({{"*.tmp", false}, {"/d/c", false}, {"/d/c/k", true}}),
                                          Filters({{"/d", false}}));
    std::vector<std::pair<std::string, bool>> items;
    for (int i = 0; i < 200; ++i) {
        const std::string folder = "/d/" + std::string(i % 3 == 0 ? "c" : "f") + std::to_string(i % 7);
        items.push_back({folder, true});
        items.push_back({folder + "/x" + std::to_string(i) + (i % 2 ? ".tmp" : ".c"), false});
    }
    items.push_back({"/d/c", true});
    items.push_back({"/d/c/k", true});
    items.push_back({"/d/c/k/z", false});
    std::vector<std::string> expected;
    {
        CScanJobFilters one = base.ForAnotherThread();
        for (const auto& [path, folder] : items) expected.push_back(Show(one.Decide(path, folder)));
    }
    EXPECT_EQ(expected.back(), "i-n");
    std::vector<std::vector<std::string>> got(4);
    std::vector<std::thread> threads;
    for (auto& out : got)
        threads.emplace_back([&base, &items, &out] {
            CScanJobFilters mine = base.ForAnotherThread();
            for (const auto& [path, folder] : items) out.push_back(Show(mine.Decide(path, folder)));
        });
    for (std::thread& t : threads) t.join();
    for (const auto& out : got) EXPECT_EQ(out, expected);
}

}  // namespace
