// Fault sweeps in the manner of SQLite's: a job runs once undisturbed to count its file
// operations; then, for every kind of operation and every k, it runs again with the k-th
// operation of that kind failing, and, separately, with the machine stopping after the k-th
// operation of any kind (what was not synced is then dropped). Every run must end in success or
// a clear error, the job state left behind must load and name files that are whole, and a rerun
// must give exactly what the undisturbed run gave. A run that reports success must already have.
//
// The jobs run in-process on a small tree, through a fault-injecting file-system environment;
// only the job files go through it (the scanned content and the mirror are not job files).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "scan/job/BackupJob.h"
#include "scan/job/JobState.h"
#include "scan/job/ScanJob.h"
#include "core/FaultInjectionEnv.h"
#include "scan/jobstate/RestartMapFileHandler.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::ScopedTempDir;
using testsupport::WriteFile;

namespace {

// What a failure of each kind is made of: errors such operations really meet.
int ErrnoFor(EFaultOp op) {
    switch (op) {
        case EFaultOp::Open: return EMFILE;
        case EFaultOp::Write:
        case EFaultOp::MkDir: return ENOSPC;
        case EFaultOp::Close: return EDQUOT;
        default: return EIO;
    }
}

void SetOld(const std::string& path) {
    const timespec old[2] = {{1600000000, 0}, {1600000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void Replace(const std::string& to, const std::string& from) {
    std::error_code ec;
    fs::remove_all(to, ec);
    if (fs::exists(from)) fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

// Counts what was swept and prints it, so that the report can say how much was covered.
struct SweepCount {
    explicit SweepCount(const char* n) : name(n) {}
    const char* name;
    uint64_t faults = 0, crashes = 0;
    std::map<std::string, uint64_t> byKind;
    ~SweepCount() {
        std::string kinds;
        for (const auto& [kind, n] : byKind) kinds += " " + kind + "=" + std::to_string(n);
        std::printf("[ sweep    ] %s: %llu (operation, k) fault cases [%s ], %llu crash points\n", name,
                    static_cast<unsigned long long>(faults), kinds.c_str(), static_cast<unsigned long long>(crashes));
    }
};

class FaultSweep : public ::testing::Test {
protected:
    FaultSweep() : m_quietScope(&m_quiet) { m_quiet.SetSyncsReachTheDisk(false); }

    void SetUp() override {
        m_root = m_dir / "content";
        m_results = m_dir / "results";
        m_dest = m_dir / "dest";
        m_saved = m_dir / "saved";
        // A small tree; everything in it older than any scan, so that only what a test changes
        // later is new to an incremental scan.
        for (const char* folder : {"", "/a", "/a/b", "/c"}) ASSERT_EQ(::mkdir((m_root + folder).c_str(), 0755), 0);
        for (const char* file : {"/top", "/a/f1", "/a/b/f2", "/a/b/f3", "/c/f4"}) WriteFile(m_root + file, file);
        ASSERT_EQ(::symlink("a/f1", (m_root + "/link").c_str()), 0);
        for (const char* item : {"/top", "/a/f1", "/a/b/f2", "/a/b/f3", "/c/f4", "/link", "/a/b", "/a", "/c"})
            SetOld(m_root + item);
    }

    CKoError Scan(bool incremental) {
        SScanJobOptions options;
        options.contents = {m_root};
        options.resultsDir = m_results;
        options.incremental = incremental;
        options.dirChangeKind = m_kind;
        CScanJob job(options);
        CKoError e = job.Run();
        m_lastScanWasFull = job.Summary().full;
        return e;
    }
    CKoError Backup() {
        SBackupJobOptions options;
        options.resultsDir = m_results;
        options.dest = m_dest;
        options.checkpointItems = 4;  // the restart map is flushed in the middle too
        return CBackupJob(options).Run();
    }

    // What a scan left: its DirChange and collect files, as the state names them.
    std::string ScanOutputs() {
        CScanJobState state;
        CKoError e = state.Load(m_results);
        if (e.IsError()) return "state does not load: " + e.AsString();
        if (!state.hasLastScan) return "no scan";
        std::string out = "DirChange " + state.lastScan.dirChangeFile + ":\n" +
                          ReadFile(m_results + "/" + state.lastScan.dirChangeFile);
        for (const std::string& name : state.lastScan.collectFiles) out += name + ":\n" + ReadFile(m_results + "/" + name);
        return out;
    }

    // The state loads, and the files it names are the ones it recorded.
    void ExpectStateWhole(const std::string& label) {
        CScanJobState state;
        CKoError e = state.Load(m_results);
        ASSERT_TRUE(e.IsSuccess()) << label << ": " << e.AsString();
        if (!state.hasLastScan) return;
        unsigned long long size = 0, hash = 0;
        e = HashFile(m_results + "/" + state.lastScan.dirChangeFile, size, hash);
        ASSERT_TRUE(e.IsSuccess()) << label << ": " << e.AsString();
        EXPECT_EQ(size, state.lastScan.dirChangeSize) << label << ": the DirChange the state names was replaced";
        EXPECT_EQ(hash, state.lastScan.dirChangeHash) << label << ": the DirChange the state names was replaced";
        for (const std::string& name : state.lastScan.collectFiles)
            EXPECT_TRUE(fs::exists(m_results + "/" + name)) << label << ": " << name;
        EXPECT_TRUE(fs::exists(m_results + "/" + state.lastScan.collectInfoFile)) << label;
    }

    long long LastScanJob() {
        CScanJobState state;
        return state.Load(m_results).IsSuccess() && state.hasLastScan ? state.lastScan.jobId : -1;
    }

    // Runs `job` undisturbed and returns how many operations of each kind it asked for. A first
    // run reads what a process reads once (the settings), so it is the second that counts.
    template <class Reset, class Job>
    std::array<uint64_t, kFaultOpKinds> CountOperations(Reset&& reset, Job&& job) {
        reset();
        EXPECT_TRUE(job().IsSuccess());
        reset();
        FXFaultInjectionEnv counter(&m_quiet);
        FXScopedEnv scoped(&counter);
        EXPECT_TRUE(job().IsSuccess());
        return counter.Counts();
    }

    // Every fault and crash case: `reset` puts the folders back, `job` runs under the fault,
    // `check` judges the aftermath (given the case's label and the job's result).
    template <class Reset, class Job, class Check>
    void Sweep(SweepCount& count, const std::array<uint64_t, kFaultOpKinds>& counts, Reset&& reset, Job&& job,
               Check&& check) {
        uint64_t total = 0;
        for (int kind = 0; kind < kFaultOpKinds; ++kind) {
            const EFaultOp op = static_cast<EFaultOp>(kind);
            total += counts[kind];
            for (uint64_t k = 1; k <= counts[kind]; ++k) {
                reset();
                FXFaultInjectionEnv env(&m_quiet);
                CKoError e;
                {
                    FXScopedEnv scoped(&env);
                    env.FailNth(op, k, ErrnoFor(op), false, op == EFaultOp::Write);
                    e = job();
                }
                const std::string label = std::string(AsString(op)) + " #" + std::to_string(k);
                EXPECT_EQ(env.Injected(), 1u) << label << ": the operations differ from the undisturbed run's";
                check(label, e);
                ++count.faults;
                ++count.byKind[AsString(op)];
                if (HasFatalFailure() || HasFailure()) return;
            }
        }
        for (uint64_t k = 0; k < total; ++k) {
            reset();
            FXFaultInjectionEnv env(&m_quiet);
            CKoError e;
            {
                FXScopedEnv scoped(&env);
                env.CrashAfter(k);
                e = job();
            }
            // A run may still succeed: what failed after its commit was clean-up.
            const std::string label = "crash after " + std::to_string(k);
            ASSERT_TRUE(env.DropUnsyncedData().IsSuccess()) << label;
            check(label, e);
            ++count.crashes;
            if (HasFatalFailure() || HasFailure()) return;
        }
    }

    // A scan sweep: the state must stay whole; a failed job leaves the previous one in force or
    // (failing after its commit) its own; a rerun then gives what the undisturbed run gave.
    void SweepScan(const char* name, bool incremental) {
        Replace(m_saved, m_results);
        const long long previousJob = LastScanJob();
        auto reset = [&] { Replace(m_results, m_saved); };
        auto job = [&] { return Scan(incremental); };
        auto counts = CountOperations(reset, job);
        const std::string expected = ScanOutputs();
        ASSERT_EQ(m_lastScanWasFull, !incremental);
        SweepCount count{name};
        Sweep(count, counts, reset, job, [&](const std::string& label, const CKoError& e) {
            ASSERT_TRUE(e.IsSuccess() || !e.AsString().empty()) << label;
            ExpectStateWhole(label);
            if (e.IsError() && LastScanJob() == previousJob) {
                CKoError again = Scan(incremental);
                ASSERT_TRUE(again.IsSuccess()) << label << ": rerun: " << again.AsString();
                EXPECT_EQ(m_lastScanWasFull, !incremental) << label << ": the rerun fell back to a full scan";
            }
            EXPECT_EQ(ScanOutputs(), expected) << label << (e.IsSuccess() ? " (the run succeeded)" : "");
        });
    }

    void SweepIncremental() {
        ASSERT_TRUE(Scan(false).IsSuccess());
        WriteFile(m_root + "/a/new", "new");
        ASSERT_TRUE(Scan(true).IsSuccess());
        WriteFile(m_root + "/c/f4", "changed");
        WriteFile(m_root + "/a/b/later", "later");
        fs::remove_all(m_root + "/a/b/f2");
        ASSERT_EQ(::mkdir((m_root + "/d").c_str(), 0755), 0);
        WriteFile(m_root + "/d/g", "g");
        SweepScan("incremental scan", true);
    }

    // Under every run of the sweep: the crash model needs no real syncs, and thousands of them
    // would be most of the sweep's time.
    FXFaultInjectionEnv m_quiet;
    FXScopedEnv m_quietScope;
    ScopedTempDir m_dir;
    std::string m_root, m_results, m_dest, m_saved;
    bool m_lastScanWasFull = false;
    std::optional<EDirChangeKind> m_kind;  // the jobs' DirChange kind (the default when empty)
};

TEST_F(FaultSweep, FullScan) { SweepScan("full scan", false); }

// The second incremental job of a cycle: its files take the names of the files the state in
// force names.
TEST_F(FaultSweep, IncrementalScan) { SweepIncremental(); }

// The same with the DirChange kinds that write their file during the walk.
TEST_F(FaultSweep, IncrementalScanFlat) {
    m_kind = EDirChangeKind::DIRCHANGE_KIND_FLAT;
    SweepIncremental();
}
TEST_F(FaultSweep, IncrementalScanSegments) {
    m_kind = EDirChangeKind::DIRCHANGE_KIND_SEGMENTS;
    SweepIncremental();
}

// A backup of a full scan: the mirror, the state and the restart map.
TEST_F(FaultSweep, Backup) {
    ASSERT_TRUE(Scan(false).IsSuccess());
    Replace(m_saved, m_results);
    auto reset = [&] {
        Replace(m_results, m_saved);
        fs::remove_all(m_dest);
    };
    auto job = [&] { return Backup(); };
    auto counts = CountOperations(reset, job);
    // The mirror of the content (its ancestors change with the test's own folders: not compared).
    auto mirror = [&] {
        std::map<std::string, std::string> items;
        if (!fs::exists(m_dest + m_root)) return items;
        for (const auto& entry : fs::recursive_directory_iterator(m_dest + m_root)) {
            struct stat st {};
            ::lstat(entry.path().c_str(), &st);
            std::string d = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec);
            if (S_ISREG(st.st_mode)) d += " " + ReadFile(entry.path());
            if (S_ISLNK(st.st_mode)) d += " -> " + fs::read_symlink(entry.path()).string();
            items[entry.path().string().substr(m_dest.size())] = d;
        }
        return items;
    };
    const auto reference = mirror();
    ASSERT_EQ(reference.size(), 9u);
    SweepCount count{"backup"};
    Sweep(count, counts, reset, job, [&](const std::string& label, const CKoError& e) {
        ASSERT_TRUE(e.IsSuccess() || !e.AsString().empty()) << label;
        ExpectStateWhole(label);
        CScanJobState state;
        ASSERT_TRUE(state.Load(m_results).IsSuccess()) << label;
        if (fs::exists(m_results + "/CollectMap_Tot.zyf")) {
            CRestartMapFileHandler map;
            CKoError loaded = map.Init(m_results, true, false);
            EXPECT_TRUE(loaded.IsSuccess()) << label << ": the restart map does not load: " << loaded.AsString();
        }
        if (e.IsError() || !state.backupDone) {
            CKoError again = Backup();
            ASSERT_TRUE(again.IsSuccess()) << label << ": rerun: " << again.AsString();
        }
        EXPECT_EQ(mirror(), reference) << label;
    });
}

}  // namespace
