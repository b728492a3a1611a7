// TrueUp of a generated tree against the backup index of it, after damage made behind the
// backup's back to 0.1% of its files (content rewritten with the old times put back, size changed
// with the old times put back, removed from the tree, lost from the index; a quarter each).
//
// Each phase runs in a child process on a warm cache; the figures are wall seconds and the
// child's peak resident memory:
//   find_s                 find over the tree, one stat per item (for scale)
//   scan_s                 a full walk of the tree writing its flat DirChange (what a scan costs)
//   file_s, container_s    the whole TrueUp of each method: the TrueUp DirChange from an index
//                          browse, the comparison DirChange from a walk, and the comparison
//   *_generate_s, *_compare_s  its parts (the walk is scan_s again)
//   *_ratio                against scan_s
//   *_peak_MB              peak resident memory of the phase
//   differences            what each method found (the damaged files; both must agree)
//
// The tree (empty files, so that a million fit anywhere) and the index are made once per size
// under $TMPDIR (or /tmp) and removed at the end. The full size takes several minutes:
//   bench_trueup --benchmark_filter=1000000
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "BenchChild.h"
#include "BenchTree.h"
#include "agent/BackupIndex.h"
#include "agent/FileSystemScanner.h"
#include "agent/SQLiteIdxBrowseClient.h"
#include "scan/trueup/TrueUpBrowseHandler.h"
#include "scan/trueup/TrueUpComparisonDirChangeBuilder.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string WorkDir(int64_t files) {
    const char* base = std::getenv("TMPDIR");
    return std::string(base && *base ? base : "/tmp") + "/scan-bench-trueup-" + std::to_string(files);
}

// The tree on disk; answers files and folders made.
std::vector<double> MakeTree(const std::string& root, int64_t files) {
    // About 15% of the entries are folders.
    const std::vector<SBenchEntry> tree = GenerateBenchTree(static_cast<size_t>(files * 1.18), root);
    ::mkdir(root.c_str(), 0755);
    double made[2] = {0, 0};
    for (const SBenchEntry& e : tree) {
        if (e.folder) {
            if (::mkdir(e.path.c_str(), 0755) != 0) return {};
        } else {
            const int fd = ::open(e.path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd < 0) return {};
            ::close(fd);
        }
        ++made[e.folder ? 1 : 0];
    }
    return {made[0], made[1]};
}

// What the backups hold: every item, in batches as a backup records them.
std::vector<double> RecordIndex(const std::string& root, const std::string& indexPath) {
    struct Recorder : IScanItemCallback {
        CKoError OnItem(const std::shared_ptr<CItem>& item, bool&) override {
            SBackupIndexItem record;
            record.path = item->GetPath();
            record.folder = item->IsFolder();
            record.modificationTime = item->Stat().mtime.tv_sec;
            record.changeTime = item->Stat().ctime.tv_sec;
            record.size = record.folder ? 0 : static_cast<uint64_t>(item->Stat().size);
            record.jobId = 1;
            CKoError e = index.RecordItem(record);
            if (e.IsSuccess() && ++inBatch == 10000) {
                e = index.CommitBatch();
                if (e.IsSuccess()) e = index.BeginBatch();
                inBatch = 0;
            }
            return e;
        }
        void OnScanError(const std::string&, const CKoError&) override {}
        CSQLiteBackupIndex index;
        int inBatch = 0;
    } recorder;
    if (recorder.index.Open(indexPath).IsError() || recorder.index.BeginBatch().IsError()) return {};
    CFileSystemScanner scanner;
    if (scanner.Scan(root, recorder).IsError() || recorder.index.CommitBatch().IsError()) return {};
    return {1};
}

// Damage to one file in a thousand, behind the backup's back.
std::vector<double> Damage(const std::string& root, const std::string& indexPath) {
    // Change times have whole seconds: what is done in the second of the backup would not show.
    struct stat before;
    if (::stat(indexPath.c_str(), &before) != 0) return {};
    for (;;) {
        const std::string probe = root + "/.probe";
        const int fd = ::open(probe.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        struct stat st;
        ::fstat(fd, &st);
        ::close(fd);
        ::unlink(probe.c_str());
        if (st.st_ctim.tv_sec > before.st_mtim.tv_sec) break;
        timespec pause{0, 10000000};
        nanosleep(&pause, nullptr);
    }
    struct Walk : IScanItemCallback {
        CKoError OnItem(const std::shared_ptr<CItem>& item, bool&) override {
            if (!item->IsFile() || ++files % 1000 != 0) return CKoError::Success();
            const std::string& path = item->GetPath();
            const timespec times[2] = {item->Stat().atime, item->Stat().mtime};
            switch (kind++ % 4) {
                case 0: {  // rewritten, same size, old times back
                    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
                    ::close(fd);
                    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
                    break;
                }
                case 1: {  // another size, old times back
                    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
                    if (::write(fd, "grown", 5) != 5) return FXErrorUtil::ErrorErrNo(ZY_HERE, EIO);
                    ::close(fd);
                    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
                    break;
                }
                case 2:  // removed from the tree (after the walk has passed it)
                    removed.push_back(path);
                    break;
                default:  // lost from the index
                    return index.RecordDeletion(path, false, 2);
            }
            return CKoError::Success();
        }
        void OnScanError(const std::string&, const CKoError&) override {}
        CSQLiteBackupIndex index;
        uint64_t files = 0, kind = 0;
        std::vector<std::string> removed;
    } walk;
    if (walk.index.Open(indexPath).IsError()) return {};
    CFileSystemScanner scanner;
    if (scanner.Scan(root, walk).IsError()) return {};
    for (const std::string& path : walk.removed) ::unlink(path.c_str());
    return {static_cast<double>(walk.kind)};
}

class CCounting : public CTrueUpDifferenceCallback {
public:
    CKoError OnNewItem(const CTrueUpDifferenceItemPtr&) override { return Count(); }
    CKoError OnModifiedItem(const CTrueUpDifferenceItemPtr&) override { return Count(); }
    CKoError OnDeletedItem(const CTrueUpDifferenceItemPtr&) override { return Count(); }
    uint64_t count = 0;

private:
    CKoError Count() {
        ++count;
        return CKoError::Success();
    }
};

// The comparison DirChange of the tree: walk and write.
bool Scan(EDirChangeMethod method, const std::string& root, const std::string& name) {
    CTrueUpComparisonDirChangeBuilder builder(method, name);
    return builder.Initialize().IsSuccess() && builder.AddTree(root).IsSuccess() && builder.Complete().IsSuccess();
}

// A whole TrueUp: generate, scan, compare; answers the seconds of each part and the differences.
std::vector<double> TrueUp(EDirChangeMethod method, const std::string& root, const std::string& work) {
    const bool container = method == EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER;
    CTrueUpBrowseHandler handler(1, 1, 33, 1, 0, 0, "bench", "bench", 0, method);
    const std::string trueUp = work + (container ? "/TrueUp.db" : "/TrueUp.dc");
    const std::string comparison = work + (container ? "/Comparison.db" : "/Comparison.dc");
    handler.SetTrueUpDirChangeFileName(trueUp);
    handler.SetTrueUpDirChangeContainerName(trueUp);
    handler.SetComparisonDirChangeFileName(comparison);
    handler.SetComparisonDirChangeContainerName(comparison);
    handler.SetIndexBrowseClient(std::make_shared<CSQLiteIdxBrowseClient>(work + "/BackupIndex.db"));
    auto start = std::chrono::steady_clock::now();
    CKoError e = handler.GenerateTrueUpDirChange(nullptr);
    const double generate = Seconds(start);
    if (e.IsError()) {
        std::fprintf(stderr, "%s\n", e.AsString().c_str());
        return {};
    }
    start = std::chrono::steady_clock::now();
    if (!Scan(method, root, comparison)) return {};
    const double scan = Seconds(start);
    auto differences = std::make_shared<CCounting>();
    start = std::chrono::steady_clock::now();
    e = handler.EnumerateDifferences(nullptr, differences, nullptr);
    const double compare = Seconds(start);
    if (e.IsError()) {
        std::fprintf(stderr, "%s\n", e.AsString().c_str());
        return {};
    }
    return {generate + scan + compare, generate, scan, compare, static_cast<double>(differences->count)};
}

void BM_TrueUp(benchmark::State& state) {
    const int64_t files = state.range(0);
    const std::string work = WorkDir(files), root = work + "/tree", index = work + "/BackupIndex.db";
    std::system(("rm -rf '" + work + "'").c_str());
    ::mkdir(work.c_str(), 0755);
    const SBenchChildResult made = BenchRunInChild([&] { return MakeTree(root, files); });
    const SBenchChildResult recorded = BenchRunInChild([&] { return RecordIndex(root, index); });
    const SBenchChildResult damaged = BenchRunInChild([&] { return Damage(root, index); });
    if (!made.ok || !recorded.ok || !damaged.ok) {
        state.SkipWithError("cannot make the tree, its index or the damage");
        return;
    }
    std::system(("find '" + root + "' -printf '%p %s %T@ %C@\\n' > /dev/null").c_str());  // warm
    for (auto _ : state) {
        const SBenchChildResult find = BenchRunInChild([&] {
            const auto start = std::chrono::steady_clock::now();
            const int rc = std::system(("find '" + root + "' -printf '%p %s %T@ %C@\\n' > /dev/null").c_str());
            return rc == 0 ? std::vector<double>{Seconds(start)} : std::vector<double>{};
        });
        const SBenchChildResult scan = BenchRunInChild([&] {
            const auto start = std::chrono::steady_clock::now();
            const bool ok = Scan(EDirChangeMethod::DIRCHANGE_METHOD_FILE, root, work + "/Scan.dc");
            return ok ? std::vector<double>{Seconds(start)} : std::vector<double>{};
        });
        const SBenchChildResult file =
            BenchRunInChild([&] { return TrueUp(EDirChangeMethod::DIRCHANGE_METHOD_FILE, root, work); });
        const SBenchChildResult container =
            BenchRunInChild([&] { return TrueUp(EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER, root, work); });
        if (!find.ok || !scan.ok || !file.ok || !container.ok) {
            state.SkipWithError("a phase failed");
            return;
        }
        const double scanSeconds = scan.values[0];
        state.counters["files"] = made.values[0];
        state.counters["folders"] = made.values[1];
        state.counters["damaged"] = damaged.values[0];
        state.counters["find_s"] = find.values[0];
        state.counters["scan_s"] = scanSeconds;
        state.counters["scan_peak_MB"] = static_cast<double>(scan.peakRssBytes) / 1e6;
        for (const auto& [name, r] : {std::pair<const char*, const SBenchChildResult&>{"file", file},
                                      std::pair<const char*, const SBenchChildResult&>{"container", container}}) {
            const std::string n = name;
            state.counters[n + "_s"] = r.values[0];
            state.counters[n + "_generate_s"] = r.values[1];
            state.counters[n + "_compare_s"] = r.values[3];
            state.counters[n + "_ratio"] = r.values[0] / scanSeconds;
            state.counters[n + "_peak_MB"] = static_cast<double>(r.peakRssBytes) / 1e6;
            state.counters[n + "_differences"] = r.values[4];
        }
    }
    std::system(("rm -rf '" + work + "'").c_str());
}

BENCHMARK(BM_TrueUp)->Arg(100000)->Arg(1000000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
