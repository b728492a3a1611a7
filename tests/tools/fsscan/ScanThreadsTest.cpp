// Scans with several walker threads and with collect files split for several readers must
// decide exactly what a one-thread scan decides: the same items collected, the same deleted,
// the same DirChange, whatever the interleaving.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "FsScanTestSupport.h"
#include "scan/collect/CollectFilesInfo.h"
#include "scan/dirchange/DirChangeKind.h"
#include "scan/job/JobState.h"
#include "scan/job/ScanJob.h"
#include "scan/job/WalkOrderSort.h"
#include "support/Lines.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::Lines;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

// A random tree: folders up to four deep, names with blanks, "|", "%", bytes below 0x20 and
// above 0x7F, files of random sizes.
class CRandomTree {
public:
    CRandomTree(std::string root, unsigned seed) : m_root(std::move(root)), m_rng(seed) {}

    void Create(int folders, int files) {
        ASSERT_EQ(::mkdir(m_root.c_str(), 0755), 0);
        m_folders = {m_root};
        for (int i = 0; i < folders; ++i) AddFolder();
        for (int i = 0; i < files; ++i) AddFile();
    }

    // A round of changes of every kind.
    void Change() {
        for (int i = 0; i < 6; ++i) AddFile();
        AddFolder();
        for (int i = 0; i < 5; ++i) {
            std::string f = AnyFile();
            if (!f.empty()) WriteFile(f, std::string(Pick(3000), 'c'));
        }
        for (int i = 0; i < 3; ++i) {
            std::string f = AnyFile();
            if (!f.empty()) fs::remove(f);
        }
        if (m_folders.size() > 3) {
            // A folder deleted, one renamed, a file that becomes a folder.
            std::string gone = m_folders[1 + Pick(m_folders.size() - 1)];
            fs::remove_all(gone);
            Forget(gone);
            std::string moved = m_folders[1 + Pick(m_folders.size() - 1)];
            std::string to = m_root + "/moved" + std::to_string(m_serial++);
            fs::rename(moved, to);
            Forget(moved);
            Rescan();
        }
        std::string f = AnyFile();
        if (!f.empty()) {
            fs::remove(f);
            ASSERT_EQ(::mkdir(f.c_str(), 0700), 0);
            WriteFile(f + "/inside", "x");
            m_folders.push_back(f);
        }
    }

private:
    size_t Pick(size_t n) { return n ? m_rng() % n : 0; }
    std::string Name() {
        static const char* const kParts[] = {"a", "b", "a b", "a-b", "a.b", "x|y", "50%", "\x01", "\x7f", "\xc3\xa9", "Z", "_", "l\nf", "\r"};
        std::string name;
        for (size_t n = 1 + Pick(3); n > 0; --n) name += kParts[Pick(sizeof kParts / sizeof *kParts)];
        return name + std::to_string(m_serial++);
    }
    void AddFolder() {
        std::string parent = m_folders[Pick(m_folders.size())];
        if (std::count(parent.begin() + static_cast<long>(m_root.size()), parent.end(), '/') >= 4) parent = m_root;
        std::string path = parent + "/" + Name();
        ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
        m_folders.push_back(path);
    }
    void AddFile() { WriteFile(m_folders[Pick(m_folders.size())] + "/" + Name(), std::string(Pick(5000), 'f')); }
    std::string AnyFile() {
        for (int tries = 0; tries < 20; ++tries) {
            const std::string& folder = m_folders[Pick(m_folders.size())];
            std::vector<std::string> files;
            for (const auto& entry : fs::directory_iterator(folder))
                if (entry.is_regular_file()) files.push_back(entry.path());
            if (!files.empty()) return files[Pick(files.size())];
        }
        return std::string();
    }
    void Forget(const std::string& gone) {
        m_folders.erase(std::remove_if(m_folders.begin(), m_folders.end(),
                                       [&](const std::string& f) { return f == gone || f.rfind(gone + "/", 0) == 0; }),
                        m_folders.end());
    }
    void Rescan() {
        m_folders = {m_root};
        for (const auto& entry : fs::recursive_directory_iterator(m_root))
            if (entry.is_directory() && !entry.is_symlink()) m_folders.push_back(entry.path());
    }

    std::string m_root;
    std::mt19937 m_rng;
    std::vector<std::string> m_folders;
    int m_serial = 0;
};

struct SOutcome {
    std::vector<std::string> collected, deleted;  // sorted lines of every collect file
    std::string dirChange;
    std::vector<std::string> collectFiles;        // as the state names them
    std::vector<std::string> described;           // as the description names them (names only)
    SScanJobSummary summary;
};

SOutcome RunScan(const std::string& root, const std::string& results, bool incremental, unsigned threads, int readers,
                 std::optional<EDirChangeKind> kind = std::nullopt) {
    SOutcome out;
    SScanJobOptions options;
    options.contents = {root};
    options.resultsDir = results;
    options.incremental = incremental;
    options.threads = threads;
    options.readers = readers;
    options.dirChangeKind = kind;
    CScanJob job(options);
    CKoError e = job.Run();
    EXPECT_TRUE(e.IsSuccess()) << e.AsString();
    out.summary = job.Summary();
    CScanJobState state;
    EXPECT_TRUE(state.Load(results).IsSuccess());
    out.dirChange = ReadFile(state.PathOf(results, state.lastScan.dirChangeFile));
    out.collectFiles = state.lastScan.collectFiles;
    for (const std::string& name : state.lastScan.collectFiles)
        for (std::string& line : Lines(ReadFile(state.PathOf(results, name))))
            (line.rfind("??", 0) == 0 ? out.deleted : out.collected).push_back(std::move(line));
    std::sort(out.collected.begin(), out.collected.end());
    std::sort(out.deleted.begin(), out.deleted.end());
    std::shared_ptr<CCollectFilesInfo> info;
    EXPECT_TRUE(CCollectFilesInfo::CreateCollectFileInfo(info).IsSuccess());
    EXPECT_TRUE(info->LoadFromFile(state.PathOf(results, state.lastScan.collectInfoFile)).IsSuccess());
    std::vector<std::string> paths;
    info->GetAllCollects(paths);
    for (const std::string& p : paths) out.described.push_back(fs::path(p).filename());
    return out;
}

long long StartOf(const std::string& results) {
    CScanJobState state;
    EXPECT_TRUE(state.Load(results).IsSuccess());
    return state.lastScan.startTimeMicros;
}

void SetStart(const std::string& results, long long micros) {
    CScanJobState state;
    ASSERT_TRUE(state.Load(results).IsSuccess());
    state.lastScan.startTimeMicros = micros;
    ASSERT_TRUE(state.Save(results).IsSuccess());
}

// Each variant keeps its own chain of jobs, each backed up, with the one-thread job's start
// time, so all of them judge changes against the same baseline.
TEST(FsScanThreads, SameItemsCollectedAndDeletedWhateverTheThreadsAndReaders) {
    ScopedTempDir dir;
    const std::string root = dir / "content";
    CRandomTree tree(root, 11);
    tree.Create(40, 250);
    struct SVariant {
        unsigned threads;
        int readers;
    };
    const SVariant variants[] = {{2, 1}, {3, 3}, {8, 4}};
    size_t splitSeen = 0;
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const bool incremental = round > 0;
        if (incremental) tree.Change();
        const SOutcome one = RunScan(root, dir / "one", incremental, 1, 1);
        const long long oneStart = StartOf(dir / "one");
        fsscantest::MarkBackedUp(dir / "one");
        ASSERT_EQ(one.summary.full, !incremental);
        ASSERT_FALSE(one.collected.empty());
        if (incremental) {
            EXPECT_FALSE(one.deleted.empty());
        }
        for (const SVariant& v : variants) {
            SCOPED_TRACE("threads " + std::to_string(v.threads) + ", readers " + std::to_string(v.readers));
            const std::string results = dir / ("v" + std::to_string(v.threads));
            const SOutcome many = RunScan(root, results, incremental, v.threads, v.readers);
            // The next round judges changes against the same start time in every folder.
            SetStart(results, oneStart);
            fsscantest::MarkBackedUp(results);
            EXPECT_EQ(many.summary.full, one.summary.full);
            EXPECT_EQ(many.collected, one.collected);
            EXPECT_EQ(many.deleted, one.deleted);
            EXPECT_EQ(many.dirChange, one.dirChange);
            EXPECT_EQ(many.summary.collected, one.summary.collected);
            EXPECT_EQ(many.summary.deleted, one.summary.deleted);
            EXPECT_EQ(many.summary.seen, one.summary.seen);
            // The description names exactly the files the state names, parts included.
            EXPECT_EQ(many.described, many.collectFiles);
            if (many.collectFiles.size() > 1) ++splitSeen;
            if (v.readers > 1) {
                ASSERT_EQ(many.summary.splits.size(), 1u);
            }
        }
    }
    EXPECT_GT(splitSeen, 4u) << "the collect files were hardly ever split: the test proves little";
}

// A full job's collect file is put in walk order whatever the threads: a one-thread scan's
// order, line for line, so that the backup can clear what the job did not collect.
TEST(FsScanThreads, FullJobOfSeveralThreadsIsInWalkOrder) {
    ScopedTempDir dir;
    const std::string root = dir / "content";
    CRandomTree tree(root, 5);
    tree.Create(30, 200);
    RunScan(root, dir / "one", false, 1, 1);
    EXPECT_EQ(RunScan(root, dir / "four", false, 4, 1).summary.threads, 4u);
    EXPECT_EQ(ReadFile(fsscantest::JobFile(dir / "four", "CollectTot1.zyf")), ReadFile(fsscantest::JobFile(dir / "one", "CollectTot1.zyf")));
    // The flat DirChange takes a folder's files as one block: its jobs walk with one thread.
    const SOutcome flat = RunScan(root, dir / "flat", false, 4, 1, EDirChangeKind::DIRCHANGE_KIND_FLAT);
    EXPECT_EQ(flat.summary.threads, 1u);
    EXPECT_EQ(ReadFile(fsscantest::JobFile(dir / "flat", "CollectTot1.zyf")), ReadFile(fsscantest::JobFile(dir / "one", "CollectTot1.zyf")));
}

TEST(WalkOrderSort, KeysSortInWalkOrderAndDecodeBack) {
    // In walk order: a folder, then what it holds, then the names that extend its own.
    const std::vector<std::string> ordered = {"/a/",   "/a/\x01x", "/a/\x02|5",   "/a/%0A\x0d", "/a/b",
                                              "/a/b/", "/a/b/c|7", "/a/xa",        "/a/x%7Cy|2", "/a b/",
                                              "/a-b|3", "/a.b",    "/a\xff/",      "%EXTENTQ%/a|1", "??d/a/x"};
    std::vector<std::string> keys;
    for (const std::string& line : ordered) {
        std::string key, back;
        CWalkOrderSort::Encode(line, key);
        EXPECT_EQ(key.find('\n'), std::string::npos);
        ASSERT_TRUE(CWalkOrderSort::Decode(key, back)) << line;
        EXPECT_EQ(back, line);
        keys.push_back(key);
    }
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    for (const char* bad : {"", "\x02a", "\x02a\x03\x01"}) {
        std::string line;
        EXPECT_FALSE(CWalkOrderSort::Decode(bad, line)) << bad;
    }

    // The file sort keeps every line once, in walk order, and leaves no scratch behind.
    ScopedTempDir dir;
    std::vector<std::string> shuffled = ordered;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));
    std::string text;
    for (const std::string& l : shuffled) text += l + "\n";
    WriteFile(dir / "c", text);
    ASSERT_TRUE(CWalkOrderSort::SortFile(dir / "c", dir / "s").IsSuccess());
    std::vector<std::string> sorted = Lines(ReadFile(dir / "c"));
    ASSERT_EQ(sorted.size(), ordered.size());
    EXPECT_EQ(sorted, ordered);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

}  // namespace
