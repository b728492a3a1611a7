#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "agent/KoBatchSort.h"
#include "support/CountingFaultEnv.h"
#include "support/RandomTree.h"
#include "support/TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string SortedText(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
}

TEST(KoBatchSort, SortsEveryLineByByteValue) {
    struct Case {
        const char* input;
        const char* expected;
    } cases[] = {
        {"", ""},
        {"b\na\n", "a\nb\n"},
        {"b\na", "a\nb\n"},  // a last line without a line feed gets one
        {"x\n\nx\n\n", "\n\nx\nx\n"},  // empty lines and duplicates stay
        {"\xff\nz\nZ\n\x01\n", "\x01\nZ\nz\n\xff\n"},  // unsigned bytes
        {"/a/b|1\n/a/|0\n/a-b|2\n", "/a-b|2\n/a/b|1\n/a/|0\n"},
    };
    ScopedTempDir dir;
    for (const Case& c : cases) {
        WriteFile(dir / "in", c.input);
        KoBatchSort sort;
        ASSERT_TRUE(sort.Sort(dir / "in", dir / "out", dir / "work").IsSuccess());
        EXPECT_EQ(ReadFile(dir / "out"), c.expected);
        EXPECT_EQ(sort.RunsWritten(), 0u);
        EXPECT_FALSE(Exists(dir / "work"));
    }
}

TEST(KoBatchSort, ManyRunsMergeInSeveralPassesWithinTheBudget) {
    ScopedTempDir dir;
    std::mt19937 rng(1);
    std::vector<std::string> lines;
    std::string input;
    for (int i = 0; i < 6000; ++i) {
        std::string l = "/d/" + std::to_string(rng() % 100000);
        if (i == 10) l = std::string(1000, 'L');  // longer than the budget: a run of its own
        lines.push_back(l);
        input += l + "\n";
    }
    WriteFile(dir / "in", input);
    KoBatchSort sort(256);
    ASSERT_TRUE(sort.Sort(dir / "in", dir / "out", dir / "work").IsSuccess());
    EXPECT_GT(sort.RunsWritten(), KoBatchSort::kMaxMergeWidth);
    EXPECT_EQ(ReadFile(dir / "out"), SortedText(lines));
    EXPECT_FALSE(Exists(dir / "work"));
}

// Each operation fails in turn: the sort fails with no output and no run left, or succeeds.
TEST(KoBatchSort, AnyFailureLeavesNoOutputAndNoRuns) {
    ScopedTempDir dir;
    std::vector<std::string> lines;
    std::string input;
    for (int i = 0; i < 300; ++i) {
        lines.push_back("line" + std::to_string((i * 7) % 300));
        input += lines.back() + "\n";
    }
    WriteFile(dir / "in", input);
    testsupport::CCountingFaultEnv env;
    int failures = 0;
    for (int k = 1;; ++k) {
        SCOPED_TRACE(k);
        env.FailAt(k, false);
        CKoError e;
        {
            FXScopedEnv scoped(&env);
            KoBatchSort sort(600);  // a few runs
            e = sort.Sort(dir / "in", dir / "out", dir / "work");
        }
        if (!env.Failed()) {
            ASSERT_TRUE(e.IsSuccess()) << e.AsString();
            EXPECT_EQ(ReadFile(dir / "out"), SortedText(lines));
            break;
        }
        ++failures;
        if (e.IsError()) {
            EXPECT_FALSE(Exists(dir / "out"));
        } else {
            EXPECT_EQ(ReadFile(dir / "out"), SortedText(lines));  // a failed clean-up only
        }
        if (e.IsError() && Exists(dir / "work")) {
            EXPECT_EQ(::rmdir((dir / "work").c_str()), 0) << "runs left behind";
        }
        testsupport::RemoveTreeAt(dir / "work");  // what a failed clean-up left
        ::unlink((dir / "out").c_str());
    }
    EXPECT_GT(failures, 20);
}

}  // namespace
