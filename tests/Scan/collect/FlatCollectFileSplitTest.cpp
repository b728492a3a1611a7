#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/Env.h"
#include "scan/collect/CollectFilesInfo.h"
#include "scan/collect/FlatCollectFileSplit.h"
#include "support/CountingFaultEnv.h"
#include "support/Lines.h"
#include "support/TestSupport.h"

namespace {

using testsupport::Lines;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Names part n "<folder>/Collect_<n>.zyf" and records what the split asked.
struct Callback : IFlatCollectFileSplitCallback {
    explicit Callback(std::string folder) : folder(std::move(folder)) {}
    std::string GetSplitFileName(int n) override { return folder + "/Collect_" + std::to_string(n) + ".zyf"; }
    bool IsLineIncluded(std::string_view line) override { return line.find("skip") == std::string_view::npos; }
    bool CanSplitBefore(std::string_view line) override { return line.rfind(noSplitBefore, 0) != 0 || noSplitBefore.empty(); }
    bool ShouldSplitAlways() override { return always; }
    void Reset() override { ++resets; }
    std::string folder;
    std::string noSplitBefore;
    bool always = false;
    int resets = 0;
};

class FlatCollectFileSplitTest : public ::testing::Test {
protected:
    std::string Collect() const { return m_dir / "Collect5.zyf"; }

    // Runs a split of the collect file holding `content`; parts numbered from 100.
    CKoError Run(const std::string& content, int flags, int streams, int factor = 2) {
        WriteFile(Collect(), content);
        m_parts.clear();
        m_numbers = {0, 0};
        m_split = std::make_unique<FlatCollectFileSplit>(Collect(), 5, 100, factor, flags, m_numbers, m_parts, m_callback);
        return m_split->Run(streams);
    }

    std::vector<std::string> PartLines() const {
        std::vector<std::string> all;
        for (const SplitFileInfo& p : m_parts)
            for (std::string& l : Lines(ReadFile(p.path))) all.push_back(std::move(l));
        return all;
    }

    ScopedTempDir m_dir;
    std::shared_ptr<Callback> m_callback = std::make_shared<Callback>(m_dir.Path());
    std::vector<SplitFileInfo> m_parts;
    std::pair<int, int> m_numbers{0, 0};
    std::unique_ptr<FlatCollectFileSplit> m_split;
};

std::string NumberedLines(int count, int (*size)(int)) {
    std::string out;
    char line[64];
    for (int i = 0; i < count; ++i) {
        std::snprintf(line, sizeof line, "/d/f%04d|%d\n", i, size(i));
        out += line;
    }
    return out;
}

TEST_F(FlatCollectFileSplitTest, ByLinesIntoEqualPartsThatTheCallerLearns) {
    const std::string content = NumberedLines(1000, [](int) { return 10; });
    CKoError e = Run(content, 0, 4);  // factor 2 x 4 streams = 8 parts
    ASSERT_TRUE(e.IsSuccess()) << e.AsString();
    EXPECT_EQ(m_split->GetOutcome(), FlatCollectFileSplit::SPLIT);
    ASSERT_EQ(m_parts.size(), 8u);
    EXPECT_EQ(m_parts[0].path, Collect());
    EXPECT_EQ(m_parts[0].fileNumber, 5);
    for (size_t i = 0; i < m_parts.size(); ++i) {
        EXPECT_EQ(m_parts[i].lineCount, 125);
        EXPECT_EQ(m_parts[i].dataSize, 1250u);
        if (i > 0) {
            EXPECT_EQ(m_parts[i].fileNumber, 99 + static_cast<int>(i));
        }
    }
    EXPECT_EQ(m_numbers, std::make_pair(100, 106));
    EXPECT_EQ(m_split->GetNextFileNumber(), 107);
    EXPECT_EQ(PartLines(), Lines(content));  // in order, nothing lost or doubled
    EXPECT_EQ(m_callback->resets, 1);
    EXPECT_FALSE(Exists(FlatCollectFileSplit::TempPath(Collect())));

    // The record stays until the description names the parts.
    FlatCollectFileSplit::SRecovery r;
    ASSERT_TRUE(FlatCollectFileSplit::Recover(Collect(), r).IsSuccess());
    EXPECT_EQ(r.outcome, FlatCollectFileSplit::SPLIT);
    ASSERT_EQ(r.parts.size(), 8u);
    EXPECT_EQ(r.parts[3].path, m_parts[3].path);
    EXPECT_EQ(r.parts[3].lineCount, 125);
    EXPECT_TRUE(FXErrorUtil::IsWin32(m_split->Run(4), ZyWin32::ERROR_ALREADY_EXISTS));

    std::shared_ptr<CCollectFilesInfo> info;
    ASSERT_TRUE(CCollectFilesInfo::CreateCollectFileInfo(info).IsSuccess());
    FileScan::Collect c{Collect(), FileScan::COLLECT_FILE_TYPE_REGULAR};
    ASSERT_TRUE(info->AddDiskCollect("/", c).IsSuccess());
    for (int twice = 0; twice < 2; ++twice)
        ASSERT_TRUE(FlatCollectFileSplit::ApplyToCollectFilesInfo(*info, Collect(), r.parts).IsSuccess());
    std::vector<std::string> named;
    info->GetAllCollects(named);
    std::vector<std::string> expected;
    for (const SplitFileInfo& p : m_parts) expected.push_back(p.path);
    EXPECT_EQ(Sorted(named), Sorted(expected));

    ASSERT_TRUE(FlatCollectFileSplit::Complete(Collect()).IsSuccess());
    EXPECT_FALSE(Exists(FlatCollectFileSplit::RecordPath(Collect())));
    ASSERT_TRUE(FlatCollectFileSplit::Recover(Collect(), r).IsSuccess());
    EXPECT_EQ(r.outcome, FlatCollectFileSplit::NOT_RUN);
}

TEST_F(FlatCollectFileSplitTest, BySizeEachPartStopsBeforeReachingItsShare) {
    const std::string content = NumberedLines(500, [](int i) { return (i * 7919) % 1000 + 1; });
    ASSERT_TRUE(Run(content, FlatCollectFileSplit::SPLIT_BY_SIZE, 4).IsSuccess());
    unsigned long long total = 0;
    for (const std::string& l : Lines(content)) total += std::stoull(l.substr(l.rfind('|') + 1));
    const unsigned long long share = (total + 7) / 8;
    ASSERT_GE(m_parts.size(), 8u);
    unsigned long long sum = 0;
    for (const SplitFileInfo& p : m_parts) {
        EXPECT_TRUE(p.lineCount == 1 || p.dataSize < share) << p.dataSize << " " << share;
        sum += p.dataSize;
    }
    EXPECT_EQ(sum, total);
    EXPECT_EQ(PartLines(), Lines(content));
}

TEST_F(FlatCollectFileSplitTest, SizeSplitFallsBackToLinesWhenFewItemsHaveASize) {
    // 80 of 100 lines with a size is not more than 80%: by lines. 81 is: by size.
    for (int sized : {80, 81}) {
        std::string content;
        for (int i = 0; i < 100; ++i)
            content += (i < sized ? "/d/f" + std::to_string(i) + "|" + std::to_string(i == 0 ? 10000 : 1)
                                  : "??d/d/gone" + std::to_string(i) + "|50") + "\n";
        testsupport::ScopedLogCapture log(9);
        ASSERT_TRUE(Run(content, FlatCollectFileSplit::SPLIT_BY_SIZE, 2).IsSuccess());
        EXPECT_EQ(log.Log().Contains("with size is too low (80 / 100)"), sized == 80);
        if (sized == 80) {
            ASSERT_EQ(m_parts.size(), 4u);
            for (const SplitFileInfo& p : m_parts) EXPECT_EQ(p.lineCount, 25);
        } else {
            EXPECT_EQ(m_parts[0].lineCount, 1);  // the big first item fills its part alone
        }
        EXPECT_EQ(PartLines(), Lines(content));
        ASSERT_TRUE(FlatCollectFileSplit::Complete(Collect()).IsSuccess());
        for (const SplitFileInfo& p : m_parts)
            if (p.path != Collect()) std::remove(p.path.c_str());
    }
}

TEST_F(FlatCollectFileSplitTest, FilesTooSmallOrTrivialStayAsTheyAre) {
    struct Case {
        const char* content;
        int streams;
        bool always;
        const char* log;
        size_t parts;
    } cases[] = {
        {"??d/a|0\n??d/b|0\n??d/c|0\n", 2, false, "is too small. Will not split", 0},  // 3 lines, 4 files, no size
        {"??d/a|0\n??d/b|0\n??d/c|0\n", 2, true, "Will attempt split", 3},            // unless asked
        {"", 4, false, "is empty", 0},
        {"\n\r\n/only|5\n\n", 4, false, "has only one item.", 0},
        {"/a|1\n/b|1\n", 0, false, "is not split", 0},  // one file (factor x at least one stream) is no split
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        m_callback->always = c.always;
        testsupport::ScopedLogCapture log(9);
        CKoError e = Run(c.content, 0, c.streams, c.streams == 0 ? 1 : 2);
        ASSERT_TRUE(e.IsSuccess()) << e.AsString();
        EXPECT_TRUE(log.Log().Contains(c.log));
        EXPECT_EQ(m_parts.size(), c.parts);
        if (c.parts == 0) {
            EXPECT_EQ(m_split->GetOutcome(), FlatCollectFileSplit::NOT_SPLIT);
            EXPECT_EQ(ReadFile(Collect()), c.content);
            EXPECT_FALSE(Exists(FlatCollectFileSplit::RecordPath(Collect())));
        } else {
            ASSERT_TRUE(FlatCollectFileSplit::Complete(Collect()).IsSuccess());
        }
    }
}

TEST_F(FlatCollectFileSplitTest, CallbackFiltersLinesAndChoosesWherePartsMayEnd) {
    std::string content;
    for (int i = 0; i < 40; ++i) content += "/d/" + std::string(i % 4 == 1 ? "keep" : "f") + std::to_string(i) + "|1\r\n";
    content += "/d/skip-me|1\n";
    m_callback->noSplitBefore = "/d/keep";
    ASSERT_TRUE(Run(content, 0, 2).IsSuccess());  // 40 lines, 4 files of 10
    std::vector<std::string> expected;
    for (std::string l : Lines(content))
        if (l.find("skip") == std::string::npos) expected.push_back(l.substr(0, l.size() - 1));  // CR trimmed
    EXPECT_EQ(PartLines(), expected);
    for (const SplitFileInfo& p : m_parts) {
        EXPECT_NE(ReadFile(p.path).rfind("/d/keep", 0), 0u) << p.path;
        EXPECT_GE(p.lineCount, 10);
    }
}

TEST_F(FlatCollectFileSplitTest, SortFirstGivesSortedPartsAndLeavesNoTemporaries) {
    std::vector<std::string> lines = Lines(NumberedLines(300, [](int i) { return i; }));
    std::shuffle(lines.begin(), lines.end(), std::mt19937(7));
    std::string content;
    for (const std::string& l : lines) content += l + "\n";
    ASSERT_TRUE(Run(content, FlatCollectFileSplit::SORT_FIRST, 2).IsSuccess());
    EXPECT_EQ(PartLines(), Sorted(lines));
    EXPECT_FALSE(Exists(m_dir / "tmp_Collect5.zyf"));
    EXPECT_FALSE(Exists(m_dir / "tmp_sort"));
}

TEST_F(FlatCollectFileSplitTest, UnusablePartNamesRollBack) {
    struct Bad : Callback {
        using Callback::Callback;
        std::string GetSplitFileName(int n) override { return n == 101 ? folder + "/Collect_100.zyf" : Callback::GetSplitFileName(n); }
    };
    m_callback = std::make_shared<Bad>(m_dir.Path());
    const std::string content = NumberedLines(40, [](int) { return 1; });
    m_numbers = {7, 8};
    CKoError e = Run(content, 0, 2);
    EXPECT_TRUE(FXErrorUtil::IsWin32(e, ZyWin32::ERROR_INVALID_PARAMETER)) << e.AsString();
    EXPECT_EQ(m_split->GetOutcome(), FlatCollectFileSplit::NOT_SPLIT);
    EXPECT_EQ(ReadFile(Collect()), content);
    EXPECT_TRUE(m_parts.empty());
    EXPECT_FALSE(Exists(m_dir / "Collect_100.zyf"));
    EXPECT_FALSE(Exists(FlatCollectFileSplit::RecordPath(Collect())));
    EXPECT_FALSE(Exists(FlatCollectFileSplit::TempPath(Collect())));
}

// A record that cannot be read, or that names another collect file, decides nothing: Recover,
// Complete and Run fail and leave every file as it is.
TEST_F(FlatCollectFileSplitTest, RecordsThatCannotBeTrustedChangeNothing) {
    const std::string record = FlatCollectFileSplit::RecordPath(Collect());
    const std::string head = "FlatCollectSplit 1 " + Collect() + "\n";
    const std::string cases[] = {
        "FlatCollectSplit 1 /elsewhere/Collect5.zyf\npart 5 /elsewhere/Collect5.zyf\n",  // a moved folder
        head + "part 5 " + Collect() + "\ncommit 1\n",                                  // no "done"
        head + "part 100 " + m_dir.Path() + "/Collect_100.zyf\ndone 100 1 1\ncommit 1\n",  // first part not the file
        head + "part 5 " + Collect() + "\npart 6 " + Collect() + "\n",                   // a part twice
        head + "part 5 " + Collect() + "\nsomething else\n",
    };
    for (const std::string& text : cases) {
        SCOPED_TRACE(text);
        WriteFile(Collect(), "/a|1\n/b|2\n");
        WriteFile(FlatCollectFileSplit::TempPath(Collect()), "/c|3\n");
        WriteFile(record, text);
        FlatCollectFileSplit::SRecovery r;
        EXPECT_TRUE(FXErrorUtil::IsWin32(FlatCollectFileSplit::Recover(Collect(), r), ZyWin32::ERROR_INVALID_DATA));
        EXPECT_TRUE(FlatCollectFileSplit::Complete(Collect()).IsError());
        m_split = std::make_unique<FlatCollectFileSplit>(Collect(), 5, 100, 2, 0, m_numbers, m_parts, m_callback);
        EXPECT_TRUE(m_split->Run(2).IsError());
        EXPECT_EQ(ReadFile(Collect()), "/a|1\n/b|2\n");
        EXPECT_EQ(ReadFile(FlatCollectFileSplit::TempPath(Collect())), "/c|3\n");
        EXPECT_EQ(ReadFile(record), text);
    }
    // A torn last line is a crash's: the split rolls back.
    WriteFile(record, head + "part 5 " + Collect() + "\ndone 5 6 2\ncomm");
    FlatCollectFileSplit::SRecovery r;
    ASSERT_TRUE(FlatCollectFileSplit::Recover(Collect(), r).IsSuccess());
    EXPECT_EQ(r.outcome, FlatCollectFileSplit::NOT_SPLIT);
    EXPECT_EQ(ReadFile(Collect()), "/c|3\n");
    EXPECT_FALSE(Exists(record));
}

// Every operation of a split fails in turn, once (a full disk) or for good (a crash). Afterwards,
// with Recover run as the next job would, the files that a description would name (the parts
// when Recover says SPLIT, else the collect file) hold every line exactly once.
TEST_F(FlatCollectFileSplitTest, AnyFailureOrCrashLeavesTheCollectFileOrACompleteSetOfParts) {
    std::vector<std::string> lines = Lines(NumberedLines(60, [](int i) { return i % 9 + 1; }));
    std::shuffle(lines.begin(), lines.end(), std::mt19937(3));
    std::string content;
    for (const std::string& l : lines) content += l + "\n";
    testsupport::CCountingFaultEnv env;

    for (int flags : {0, FlatCollectFileSplit::SPLIT_BY_SIZE | FlatCollectFileSplit::SORT_FIRST}) {
        for (bool crash : {false, true}) {
            int splits = 0, unsplit = 0;
            for (int k = 1;; ++k) {
                SCOPED_TRACE("flags " + std::to_string(flags) + (crash ? " crash" : " failure") + " at " + std::to_string(k));
                CKoError e;
                WriteFile(Collect(), content);
                m_parts.clear();
                m_numbers = {0, 0};
                m_split = std::make_unique<FlatCollectFileSplit>(Collect(), 5, 100, 2, flags, m_numbers, m_parts, m_callback);
                {
                    env.FailAt(k, crash);
                    FXScopedEnv scoped(&env);
                    e = m_split->Run(2);
                }
                const bool failed = env.Failed();
                const FlatCollectFileSplit::EOutcome outcome = m_split->GetOutcome();
                if (!failed) {
                    ASSERT_TRUE(e.IsSuccess()) << e.AsString();
                    ASSERT_EQ(outcome, FlatCollectFileSplit::SPLIT);
                } else if (!crash) {
                    // One failure is always rolled back (or, after the commit, harmless).
                    ASSERT_NE(outcome, FlatCollectFileSplit::PENDING) << e.AsString();
                    if (outcome == FlatCollectFileSplit::NOT_SPLIT) {
                        EXPECT_TRUE(e.IsError());
                        EXPECT_TRUE(m_parts.empty());
                        EXPECT_EQ(m_numbers, std::make_pair(0, 0));
                        EXPECT_FALSE(Exists(FlatCollectFileSplit::RecordPath(Collect())));
                        EXPECT_FALSE(Exists(m_dir / "tmp_Collect5.zyf"));
                        EXPECT_FALSE(Exists(m_dir / "tmp_sort"));
                    }
                }

                FlatCollectFileSplit::SRecovery r;
                CKoError re = FlatCollectFileSplit::Recover(Collect(), r);
                ASSERT_TRUE(re.IsSuccess()) << re.AsString();
                std::vector<std::string> named{Collect()};
                if (r.outcome == FlatCollectFileSplit::SPLIT) {
                    named.clear();
                    for (const SplitFileInfo& p : r.parts) named.push_back(p.path);
                    ++splits;
                } else {
                    ++unsplit;
                }
                std::vector<std::string> found;
                for (const std::string& n : named)
                    for (std::string& l : Lines(ReadFile(n))) found.push_back(std::move(l));
                ASSERT_EQ(Sorted(found), Sorted(lines));
                ASSERT_TRUE(FlatCollectFileSplit::Complete(Collect()).IsSuccess());
                EXPECT_FALSE(Exists(FlatCollectFileSplit::TempPath(Collect())));
                EXPECT_FALSE(Exists(FlatCollectFileSplit::RecordPath(Collect())));
                // Parts of a rolled-back split are gone; the next run starts clean.
                for (int n = 100; n < 110 && r.outcome != FlatCollectFileSplit::SPLIT; ++n) {
                    EXPECT_FALSE(Exists(m_callback->GetSplitFileName(n)));
                }
                for (int n = 100; n < 110; ++n) std::remove(m_callback->GetSplitFileName(n).c_str());
                if (!failed) break;
            }
            EXPECT_GT(splits, 1);
            EXPECT_GT(unsplit, 10);
        }
    }
}

}  // namespace
