#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "scan/content/FilterMatcher.h"
#include "scan/content/FilterWalk.h"

namespace {

struct R {
    const char* pattern;
    EFilterRuleKind kind;
};
constexpr EFilterRuleKind F = EFilterRuleKind::Filter;
constexpr EFilterRuleKind E = EFilterRuleKind::Exception;

std::shared_ptr<const CFilterMatcher> Compile(const std::vector<R>& rules) {
    std::vector<SFilterRule> compiled;
    for (const R& r : rules) {
        SFilterRule rule;
        EXPECT_TRUE(rule.term.LoadRaw(r.pattern, EFilterSyntax::Quick).IsSuccess()) << r.pattern;
        rule.kind = r.kind;
        compiled.push_back(std::move(rule));
    }
    std::shared_ptr<const CFilterMatcher> m;
    EXPECT_TRUE(CFilterMatcher::Build(compiled, m).IsSuccess());
    return m;
}

struct Expect {
    const char* path;
    bool isFolder;
    bool included;
    bool descend;
    int rule;
};

// Checks every expectation through Match and, in the given (depth-first) order, through a walk.
void CheckAll(const CFilterMatcher& m, const std::shared_ptr<const CFilterMatcher>& shared,
              const std::vector<Expect>& expected) {
    CFilterWalk walk(shared);
    for (const Expect& x : expected) {
        for (int pass = 0; pass < 2; ++pass) {
            SFilterVerdict v = pass == 0 ? m.Match(x.path, x.isFolder) : walk.Decide(x.path, x.isFolder);
            SCOPED_TRACE(std::string(pass == 0 ? "Match " : "Walk ") + x.path);
            EXPECT_EQ(v.included, x.included);
            EXPECT_EQ(v.descend, x.isFolder && x.descend);
            EXPECT_EQ(v.rule, x.rule);
        }
    }
}

TEST(FilterMatcher, NearestRuleDecidesAndExceptionsWinTies) {
    auto m = Compile({{"/srv/cache", F}, {"/srv/cache/keep", E}, {"*.tmp", F}, {"keep.tmp", E}, {"*.tmp", E}});
    // Rule 4 repeats rule 2 as an exception: the same item matches both, the exception wins.
    auto m2 = Compile({{"/srv/cache", F}, {"/srv/cache/keep", E}, {"*.tmp", F}, {"keep.tmp", E}});
    CheckAll(*m2, m2,
             {
                 {"/srv", true, true, true, -1},
                 {"/srv/cache", true, false, true, 0},  // exceptions may take back what is below
                 {"/srv/cache/x", false, false, false, 0},
                 {"/srv/cache/keep", true, true, true, 1},
                 {"/srv/cache/keep/a", false, true, false, 1},
                 {"/srv/cache/keep/a.tmp", false, false, false, 2},
                 {"/srv/cache/keep/keep.tmp", false, true, false, 3},
                 {"/srv/other/b.tmp", false, false, false, 2},
                 {"/srv/other", true, true, true, -1},
             });
    EXPECT_TRUE(m->Match("/x/a.tmp", false).included);
    EXPECT_EQ(m->Match("/x/a.tmp", false).rule, 4);
}

TEST(FilterMatcher, PrunesFoldersNoExceptionCanReach) {
    auto m = Compile({{"/proc", F}, {"/srv/cache", F}, {"/srv/cache/keep/*.doc", E}, {"*.o", F}, {"build/", F}});
    CheckAll(*m, m,
             {
                 {"/proc", true, false, false, 0},
                 {"/srv/cache", true, false, true, 1},
                 {"/srv/cache/other", true, false, false, 1},
                 {"/srv/cache/keep", true, false, true, 1},
                 {"/srv/cache/keep/a.doc", false, true, false, 2},
                 {"/srv/cache/keep/a.txt", false, false, false, 1},
                 {"/x", true, true, true, -1},
                 {"/x/y.o", false, false, false, 3},
                 {"/x/y.o", true, false, false, 3},
                 {"/x/build", true, false, false, 4},
                 {"/x/build", false, true, false, -1},  // a file named build: the rule is for folders
             });
    CFilterFolderState state;
    m->FolderState("/srv/data", state);
    EXPECT_FALSE(state.IsInert());  // "*.o" and "build/" may still match below

    auto plain = Compile({{"/proc", F}});
    plain->FolderState("/srv", state);
    EXPECT_TRUE(state.IsInert());
    plain->RootState(state);
    EXPECT_FALSE(state.IsInert());
}

TEST(FilterMatcher, RootRulesEmptyRulesAndDuplicates) {
    auto everything = Compile({{"/", F}, {"/home", E}});
    CheckAll(*everything, everything,
             {
                 {"/", true, false, true, 0},
                 {"/etc", true, false, false, 0},
                 {"/home", true, true, true, 1},
                 {"/home/a", false, true, false, 1},
             });
    auto none = Compile({});
    CheckAll(*none, none, {{"/", true, true, true, -1}, {"/a/b", false, true, false, -1}});
    CFilterFolderState state;
    none->RootState(state);
    EXPECT_TRUE(state.IsInert());

    // The first rule that matches is the one a verdict names.
    auto dup = Compile({{"/a/*.tmp", F}, {"*.tmp", F}, {"/a/x.tmp", F}});
    EXPECT_EQ(dup->Match("/a/x.tmp", false).rule, 0);
    EXPECT_EQ(dup->Match("/b/x.tmp", false).rule, 1);
}

TEST(FilterMatcher, ManyWildcardsAreFoundThroughTheirLiteralEnds) {
    std::vector<SFilterRule> rules;
    for (int i = 0; i < 4000; ++i) {
        SFilterRule r;
        // "pre1_*" must not match what "pre10_*" matches: the underscore ends the number.
        const std::string p = i % 4 == 0   ? "*.e" + std::to_string(i)
                              : i % 4 == 1 ? "pre" + std::to_string(i) + "_*"
                              : i % 4 == 2 ? "/top/d" + std::to_string(i) + "/*x?"
                                           : "?*-m" + std::to_string(i) + "-*";
        ASSERT_TRUE(r.term.LoadRaw(p).IsSuccess());
        rules.push_back(std::move(r));
    }
    std::shared_ptr<const CFilterMatcher> m;
    ASSERT_TRUE(CFilterMatcher::Build(rules, m).IsSuccess());
    EXPECT_EQ(m->Match("/q/file.e2996", false).rule, 2996);
    EXPECT_EQ(m->Match("/q/file.e299", false).rule, -1);  // no rule 299 of that form
    EXPECT_EQ(m->Match("/q/pre1001_tail", false).rule, 1001);
    EXPECT_EQ(m->Match("/q/pre101_", false).rule, 101);
    EXPECT_EQ(m->Match("/q/pre101", false).rule, -1);
    EXPECT_EQ(m->Match("/top/d2/ax1", false).rule, 2);
    EXPECT_EQ(m->Match("/top/d2/ax", false).rule, -1);
    EXPECT_EQ(m->Match("/top/d6/x", false).rule, -1);
    EXPECT_EQ(m->Match("/top/d6/yxz", false).rule, 6);
    EXPECT_EQ(m->Match("/q/a-m3-b-m3-c", false).rule, 3);
    EXPECT_EQ(m->Match("/q/-m3-", false).rule, -1);  // "?" needs a byte before
    EXPECT_EQ(m->Match("/q/x-m3999-", false).rule, 3999);
    EXPECT_EQ(m->Match("/q/ab-m7-", false).rule, 7);  // the key at an even place
    EXPECT_EQ(m->Match("/q/abc-m7-", false).rule, 7);  // and at an odd one
}

// The plain reading of the rules: the deepest level of the path where any rule matches decides.
SFilterVerdict Oracle(const std::vector<SFilterRule>& rules, const std::string& path, bool isFolder) {
    std::vector<std::string> prefixes{"/"};
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/') prefixes.push_back(path.substr(0, i));
    if (path == "/") prefixes.pop_back();
    for (size_t d = prefixes.size(); d-- > 0;) {
        const bool folder = d + 1 < prefixes.size() || isFolder;
        int filter = -1, exception = -1;
        for (size_t i = 0; i < rules.size(); ++i) {
            if (!rules[i].term.Matches(prefixes[d], folder)) continue;
            int& best = rules[i].kind == EFilterRuleKind::Exception ? exception : filter;
            if (best < 0) best = static_cast<int>(i);
        }
        if (exception >= 0) return {true, true, exception};
        if (filter >= 0) return {false, true, filter};
    }
    return {true, true, -1};
}

struct Item {
    std::string path;
    bool folder;
    size_t end;  // index past the last item below it
};

void GrowTree(std::mt19937& rng, const std::string& folder, int depth, std::vector<Item>& out) {
    static const char* const kNames[] = {"a", "b", "ab", "a.tmp", "b.log", "keep", "x.o", "cache"};
    std::vector<int> picks(8);
    for (int i = 0; i < 8; ++i) picks[i] = i;
    std::shuffle(picks.begin(), picks.end(), rng);
    const int n = std::uniform_int_distribution<int>(0, depth < 2 ? 4 : 3)(rng);
    for (int i = 0; i < n; ++i) {
        const bool isFolder = depth < 5 && std::bernoulli_distribution(0.5)(rng);
        const size_t at = out.size();
        out.push_back({folder + "/" + kNames[picks[i]], isFolder, 0});
        if (isFolder) GrowTree(rng, std::string(out[at].path), depth + 1, out);
        out[at].end = out.size();
    }
}

std::string RandomPattern(std::mt19937& rng) {
    static const char* const kParts[] = {"a",     "b",     "ab", "keep", "cache", "*",    "?",
                                         "a*",    "*.tmp", "[ab]*", "**", "x.o", "*ab*", "?b*"};
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    std::string p;
    const int shape = pick(3);
    const int parts = 1 + pick(shape == 0 ? 4 : 2);
    for (int i = 0; i < parts; ++i) {
        if (i > 0 || shape == 0) p += '/';
        p += kParts[pick(14)];
    }
    if (pick(5) == 0) p += '/';
    return p;
}

TEST(FilterMatcher, AgreesWithThePlainReadingOnRandomTreesAndRules) {
    std::mt19937 rng(1234);
    int pruned = 0, compared = 0;
    for (int round = 0; round < 1500; ++round) {
        std::vector<SFilterRule> rules;
        const int count = std::uniform_int_distribution<int>(0, 10)(rng);
        while (static_cast<int>(rules.size()) < count) {
            SFilterRule r;
            if (r.term.LoadRaw(RandomPattern(rng), EFilterSyntax::Quick).IsError()) continue;
            r.kind = std::bernoulli_distribution(0.35)(rng) ? EFilterRuleKind::Exception : EFilterRuleKind::Filter;
            rules.push_back(std::move(r));
        }
        std::shared_ptr<const CFilterMatcher> m;
        ASSERT_TRUE(CFilterMatcher::Build(rules, m).IsSuccess());
        std::vector<Item> tree;
        GrowTree(rng, "", 0, tree);

        std::string ruleText;
        for (const auto& r : rules) ruleText += std::string(r.kind == EFilterRuleKind::Exception ? " +" : " -") + r.term.Text();
        CFilterWalk walk(m);
        for (size_t i = 0; i < tree.size();) {
            const Item& item = tree[i];
            const SFilterVerdict want = Oracle(rules, item.path, item.folder);
            const SFilterVerdict got = walk.Decide(item.path, item.folder);
            const SFilterVerdict direct = m->Match(item.path, item.folder);
            ++compared;
            ASSERT_EQ(got.included, want.included) << item.path << " rules:" << ruleText;
            ASSERT_EQ(got.rule, want.rule) << item.path << " rules:" << ruleText;
            ASSERT_EQ(direct.included, want.included) << item.path << " rules:" << ruleText;
            ASSERT_EQ(direct.rule, want.rule) << item.path << " rules:" << ruleText;
            ASSERT_EQ(direct.descend, got.descend);
            if (item.folder && !got.descend) {
                // Pruning never leaves out an item that would be backed up.
                ASSERT_FALSE(got.included);
                for (size_t j = i + 1; j < item.end; ++j)
                    ASSERT_FALSE(Oracle(rules, tree[j].path, tree[j].folder).included)
                        << tree[j].path << " below pruned " << item.path << " rules:" << ruleText;
                ++pruned;
                i = item.end;
            } else {
                ++i;
            }
        }
    }
    EXPECT_GT(pruned, 100);
    EXPECT_GT(compared, 10000);
}

TEST(FilterMatcherThreads, OneMatcherServesManyWalks) {
    std::vector<SFilterRule> rules;
    for (int i = 0; i < 500; ++i) {
        SFilterRule r;
        ASSERT_TRUE(r.term.LoadRaw(i % 2 ? "*.t" + std::to_string(i) : "/d" + std::to_string(i % 50) + "/s" +
                                                                             std::to_string(i))
                        .IsSuccess());
        r.kind = i % 7 == 0 ? EFilterRuleKind::Exception : EFilterRuleKind::Filter;
        rules.push_back(std::move(r));
    }
    std::shared_ptr<const CFilterMatcher> m;
    ASSERT_TRUE(CFilterMatcher::Build(rules, m).IsSuccess());
    std::vector<std::string> paths;
    for (int d = 0; d < 60; ++d)
        for (int s = 0; s < 60; ++s)
            for (int f = 0; f < 8; ++f)
                paths.push_back("/d" + std::to_string(d) + "/s" + std::to_string(s * 9) + "/f.t" + std::to_string(f * 61));
    std::vector<int> expected;
    for (const auto& p : paths) expected.push_back(m->Match(p, false).rule);

    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            CFilterWalk walk(m);
            for (size_t i = t; i < paths.size(); i += 1 + t)
                if (walk.Decide(paths[i], false).rule != expected[i]) ++mismatches[t];
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace
