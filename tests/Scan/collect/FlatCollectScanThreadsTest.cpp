// A scan with several walkers sharing one DirChange, one Unix thread collect file and one ancestor
// recorder collects and deletes exactly what one walker does, and what the changes made to the
// tree call for, on random trees with random changes and a folder the scan cannot read.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "agent/FileSystemScanner.h"
#include "scan/Unix/CollectFileEncode.h"
#include "scan/collect/FlatCollectFileWithAncestors.h"
#include "scan/collect/FlatCollectLine.h"
#include "scan/collect/UnixThreadFlatCollectFile.h"
#include "scan/dirchange/DirChange.h"
#include "support/AsNobody.h"
#include "support/Lines.h"
#include "support/RandomTree.h"
#include "support/TestSupport.h"

namespace {

using Flags = BDirChangeItemFlags;
using testsupport::ReadFile;
using testsupport::TreeSnapshot;

constexpr int64_t kOldTime = 1000000000;
constexpr int64_t kPreviousStart = 1500000000;
constexpr int64_t kNewTime = 1600000000;

std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> out = testsupport::Lines(text);
    std::sort(out.begin(), out.end());
    return out;
}

// The decisions of an incremental scan, shared by every walker: the DirChange and the outputs
// lock for themselves.
class CScanJobCallback : public IScanItemCallback {
public:
    CScanJobCallback(CDirChange& dc, CUnixThreadFlatCollectFile& collect, CFlatCollectFileWithAncestors& ancestors,
                     bool full)
        : m_dc(dc), m_collect(collect), m_ancestors(ancestors), m_full(full) {}

    CKoError OnItem(const std::shared_ptr<CItem>& item, bool&) override {
        const std::string escaped = escapeFileName(item->GetPath().c_str());
        Flags flags(Flags::CURRENTDIRCHANGE);
        bool collect = m_full;
        if (item->IsFolder()) {
            Flags previous;
            collect = collect || m_dc.search(escaped, previous) != EPathCacheResult::FOUND_EXACT ||
                      !previous.IsSet(Flags::PREVIOUSDIRCHANGE) || previous.IsSet(Flags::PD_FILE);
            if (collect) flags |= Flags(Flags::CURRENTCOLLECT);
        } else {
            collect = collect || !m_dc.IsItemInPreviousJob(escaped, Flags::PD_FILE) ||
                      item->Stat().mtime.tv_sec >= kPreviousStart;
            flags |= Flags(Flags::CD_FILE);
            if (collect) flags |= Flags(Flags::CURRENTCOLLECT | Flags::CC_FILE);
        }
        CKoError e = m_dc.AddItem(escaped, flags, std::string(), nullptr);
        if (e.IsSuccess() && collect) e = m_collect.Process(item);
        if (e.IsSuccess() && collect) e = m_ancestors.Process(item);
        return e;
    }
    void OnScanError(const std::string& path, const CKoError&) override {
        m_dc.CarryForward(escapeFileName(path.c_str())).IgnoreError();
        std::lock_guard<std::mutex> lock(m_mutex);
        errors.push_back(path);
    }

    std::vector<std::string> errors;

private:
    CDirChange& m_dc;
    CUnixThreadFlatCollectFile& m_collect;
    CFlatCollectFileWithAncestors& m_ancestors;
    bool m_full;
    std::mutex m_mutex;
};

struct SJobOutput {
    std::vector<std::string> collected, ancestors, deleted, errors;
    std::string dirChange;
    SScanStatistics statistics;
};

// One scan job of `root` into `out` (files "<out>/collect", "ancestors", "deleted", "dc").
void RunJob(const std::string& root, const std::string& out, const std::string& previousDirChange, unsigned threads,
            SJobOutput& result) {
    CDirChange dc;
    dc.SetIncludeFiles(true);
    if (!previousDirChange.empty()) {
        ASSERT_TRUE(dc.LoadFile(previousDirChange, nullptr).IsSuccess());
    }
    auto collect = std::make_shared<CUnixThreadFlatCollectFile>(1, out + "/collect", "w");
    auto ancestorFile = std::make_shared<CUnixThreadFlatCollectFile>(2, out + "/ancestors", "w");
    CFlatCollectFileWithAncestors ancestors(3);
    CScanJobCallback callback(dc, *collect, ancestors, previousDirChange.empty());
    CFileSystemScanner::Options options;
    options.threads = threads;
    CFileSystemScanner scanner(options);
    CKoError e = scanner.Scan(root, callback);
    ASSERT_TRUE(e.IsSuccess()) << e.AsString();
    ASSERT_TRUE(ancestors.Close({{"/", ancestorFile}}).IsSuccess());
    ASSERT_TRUE(collect->Close().IsSuccess());
    ASSERT_TRUE(ancestorFile->Close().IsSuccess());
    ASSERT_TRUE(dc.IdentifyIntermediateNodes().IsSuccess());
    FILE* deleted = std::fopen((out + "/deleted").c_str(), "w");
    ASSERT_TRUE(deleted && dc.WriteDeletedItems(deleted, true).IsSuccess());
    std::fclose(deleted);
    FILE* current = std::fopen((out + "/dc").c_str(), "w");
    ASSERT_TRUE(current && dc.WriteCurrentDirChange(current).IsSuccess());
    std::fclose(current);
    result.collected = SortedLines(ReadFile(out + "/collect"));
    result.ancestors = SortedLines(ReadFile(out + "/ancestors"));
    result.deleted = SortedLines(ReadFile(out + "/deleted"));
    result.dirChange = ReadFile(out + "/dc");
    result.errors = callback.errors;
    std::sort(result.errors.begin(), result.errors.end());
    result.statistics = scanner.Statistics();
}

std::string LineName(const std::string& line) {
    SFlatCollectLine parsed;
    EXPECT_TRUE(CFlatCollectLine::Parse(line, parsed)) << line;
    return std::string(parsed.name);
}

bool Below(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

TEST(FlatCollectScanThreads, SeveralWalkersCollectAndDeleteWhatOneWalkerDoes) {
    for (unsigned seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        testsupport::ScopedTempDir dir;
        ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
        const std::string root = dir / "tree";
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        std::mt19937 rng(seed);
        testsupport::MakeRandomTree(root, rng, 500, kOldTime);
        const std::string locked = root + "/locked";
        ASSERT_EQ(::mkdir(locked.c_str(), 0755), 0);
        testsupport::MakeRandomTree(locked, rng, 20, kOldTime);
        testsupport::SetTime(locked, kOldTime);
        const TreeSnapshot before = testsupport::SnapshotTree(root);

        ASSERT_EQ(::mkdir((dir / "full").c_str(), 0755), 0);
        SJobOutput full;
        RunJob(root, dir / "full", "", 1, full);
        ASSERT_EQ(full.collected.size(), before.size());

        testsupport::ChangeTreeRandomly(root, rng, 40, kNewTime, locked);
        const TreeSnapshot after = testsupport::SnapshotTree(root);
        ASSERT_EQ(::chmod(locked.c_str(), 0), 0);

        SJobOutput runs[2];
        const unsigned threads[2] = {1, 4};
        for (int i = 0; i < 2; ++i) {
            const std::string out = dir / ("inc" + std::to_string(threads[i]));
            ASSERT_EQ(::mkdir(out.c_str(), 0777), 0);
            ASSERT_EQ(::chmod(out.c_str(), 0777), 0);
            testsupport::RunAsNobody([&] { RunJob(root, out, dir / "full/dc", threads[i], runs[i]); });
        }
        ASSERT_EQ(::chmod(locked.c_str(), 0755), 0);

        // Several walkers, one walker: the same lines, the same deletions, the same DirChange.
        EXPECT_EQ(runs[1].collected, runs[0].collected);
        EXPECT_EQ(runs[1].ancestors, runs[0].ancestors);
        EXPECT_EQ(runs[1].deleted, runs[0].deleted);
        EXPECT_EQ(runs[1].dirChange, runs[0].dirChange);
        EXPECT_EQ(runs[1].errors, std::vector<std::string>{locked});
        EXPECT_EQ(runs[0].errors, std::vector<std::string>{locked});
        EXPECT_EQ(runs[1].statistics.items, runs[0].statistics.items);
        EXPECT_EQ(runs[1].statistics.bytes, runs[0].statistics.bytes);

        // And both are what the changes call for: what is new (or new to its kind), files written
        // since the previous job; deleted what is gone, but nothing of the unreadable folder.
        std::set<std::string> expectedCollected, collectedFolders;
        for (const auto& [path, e] : after) {
            if (Below(path, locked)) continue;
            auto old = before.find(path);
            const bool isNew = old == before.end() || (old->second.type == 'd') != (e.type == 'd');
            if (isNew || (e.type != 'd' && e.mtime >= kPreviousStart)) {
                expectedCollected.insert(escapeFileName(path.c_str()) + (e.type == 'd' ? "/" : ""));
                if (e.type == 'd') collectedFolders.insert(path);
            }
        }
        std::set<std::string> collected;
        for (const std::string& line : runs[0].collected) collected.insert(LineName(line));
        EXPECT_EQ(collected, expectedCollected);
        EXPECT_EQ(runs[0].collected.size(), expectedCollected.size());  // each once

        std::set<std::string> expectedAncestors;
        for (const auto& [path, e] : after) {
            if (!expectedCollected.count(escapeFileName(path.c_str()) + (e.type == 'd' ? "/" : ""))) continue;
            for (size_t cut = path.rfind('/'); cut != std::string::npos && cut > 0; cut = path.rfind('/', cut - 1)) {
                const std::string folder = path.substr(0, cut);
                if (!collectedFolders.count(folder)) expectedAncestors.insert(escapeFileName(folder.c_str()) + "/|0");
            }
        }
        EXPECT_EQ(std::set<std::string>(runs[0].ancestors.begin(), runs[0].ancestors.end()), expectedAncestors);
        EXPECT_EQ(runs[0].ancestors.size(), expectedAncestors.size());

        std::vector<std::string> expectedDeleted;
        for (const auto& [path, e] : before)
            if (!after.count(path) && !Below(path, locked))
                expectedDeleted.push_back("??d" + escapeFileName(path.c_str()) + (e.type == 'd' ? "/" : ""));
        std::sort(expectedDeleted.begin(), expectedDeleted.end());
        EXPECT_EQ(runs[0].deleted, expectedDeleted);
        EXPECT_FALSE(expectedDeleted.empty());
    }
}

}  // namespace
