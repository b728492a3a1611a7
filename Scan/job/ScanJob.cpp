#include "scan/job/ScanJob.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "scan/job/JobCycle.h"
#include "scan/job/JobState.h"
#include "scan/job/UnreadableItemList.h"
#include "scan/jobstate/JobCleanupCallback.h"
#include "scan/job/OutputFile.h"
#include "scan/job/Progress.h"
#include "scan/job/ScanCollectSplit.h"
#include "scan/job/WalkOrderSort.h"
#include "scan/job/ScanJobFilters.h"
#include "agent/FileSystemScanner.h"
#include "core/Env.h"
#include "core/File.h"
#include "core/LogWriter.h"
#include "core/MntTab.h"
#include "core/Path.h"
#include "core/SafePath.h"
#include "core/Env.h"
#include "core/Sync.h"
#include "core/StringUtil.h"
#include "core/TimeStamp.h"
#include "scan/collect/BasicCollectFile.h"
#include "scan/Unix/CollectFileEncode.h"
#include "scan/collect/CollectFilesInfo.h"
#include "scan/collect/CollectLineFormatter.h"
#include "scan/dirchange/DirChangeRecorder.h"
#include "scan/fsservices/ATimePreserver.h"
#include "scan/job/JobDirChange.h"
#include "scan/collect/StartCharacterCollectLineFormatter.h"
#include "scan/jobstate/ScanCommitJobs.h"

namespace {

// The writer asks the DirChange what the previous job had and which folders it already wrote,
// so the folders written are kept in the one trie the job has anyway.
class CDirChangePresence : public CCheckIfAlreadyPresent {
public:
    explicit CDirChangePresence(CDirChangeRecorder& dc) : m_dc(dc) {}
    // Content roots never overlap (nested ones are dropped), so no item comes twice.
    bool IsAlreadyPresent(const std::string&) override { return false; }
    // The writer asks this of folders only: a folder that was a file before is a new folder.
    bool IsItemInPreviousJob(const std::string& path) override {
        if (m_collectAnyway) return false;
        return m_dc.IsFolderInPreviousJob(path);
    }
    bool IsWritten(const std::string& path) override { return m_dc.IsWritten(path); }
    CKoError SetWritten(const std::string& path) override { return m_dc.SetWritten(path); }

    // While set, the folder being added is written whatever the previous job had: it changed.
    void SetCollectAnyway(bool collect) { m_collectAnyway = collect; }

private:
    CDirChangeRecorder& m_dc;
    bool m_collectAnyway = false;
};

std::atomic<CFileSystemScanner*> g_runningScanner{nullptr};

void OnInterrupt(int) {
    if (CFileSystemScanner* s = g_runningScanner.load()) s->RequestStop();
}

// Job ids run from 1; the next one must still be a job id.

CKoError RemoveLeftover(const std::string& path) {
    CKoError e = FXEnv::Current()->RemoveFile(path);
    if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND))
        return e.Push(ZY_HERE, "Cannot remove a leftover temporary file, FileName=[%s]", path.c_str());
    return CKoError::Success();
}

int64_t MicrosOf(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000; }

}  // namespace

struct CScanJob::Impl : IScanItemCallback {
    SScanJobOptions options;
    SScanJobSummary& summary;
    CJobCycle cycle;
    SScanStart start;          // the baseline and why the job runs as it does
    std::string jobFolder;     // where this job's files go: "J<id>" in the results folder
    // Items collected whatever their times say: what the baseline's backup could not read and
    // what a committed baseline's readers had not reached (escaped, as the DirChange keys them).
    std::unordered_set<std::string> collectAgain;
    std::vector<std::string> uncommittedDeletions;  // deletion lines a committed baseline had not applied
    std::vector<std::string> roots;  // real paths, nested ones dropped
    bool full = true;
    int64_t previousStartMicros = 0;
    int64_t startMicros = 0;
    std::vector<std::string> rescanBelow;  // from the previous job: collect everything below
    // Change times that a backup preserving access times recorded, for the root being walked:
    // a file whose ctime is still the recorded one only had its access time put back.
    CATimePreserver backupChangeTimes;
    std::mutex backupChangeTimesMutex;
    dev_t rootDevice = 0;
    bool IsChangedByBackupOnly(const SItemStat& st) {
        if (st.dev != rootDevice) return false;  // file ids are the root volume's
        std::lock_guard<std::mutex> lock(backupChangeTimesMutex);
        return backupChangeTimes.IsSourceDBOpen() &&
               !backupChangeTimes.IsSelected(st.ino, int64_t(st.ctime.tv_sec) * 1000000000 + st.ctime.tv_nsec);
    }
    std::vector<std::string> unreadable;   // this job's scan errors, for the next job
    CKoError failure;  // a failure met where the scanner takes no error back: it ends the walk
    bool started = false;    // the job manager knows the job

    // One collect file per content root, so that the backup can read the roots in parallel.
    struct RootOutput {
        std::string root;     // real path
        std::string escaped;  // as the DirChange keys it
        std::string name;     // "CollectTot1.zyf", ...
        std::string tempPath;
        CBasicCollectFile writer;
        std::vector<CScanCollectSplit::SPart> parts;  // what the backup reads: the file, or its parts
    };
    std::vector<RootOutput> outputs;
    RootOutput* current = nullptr;  // the root being walked
    std::string dirChangeName, dirChangePath, collectInfoName, collectInfoPath, deletedPath;
    // Every file of the job is in its own folder: nothing refers to it before the job's record.
    std::string TempPath(const std::string& name) const { return FXPath::Join(jobFolder, name); }
    std::unique_ptr<CDirChangeRecorder> dc;
    std::shared_ptr<CDirChangePresence> presence;
    CStartCharacterCollectLineFormatter formatter;
    std::unique_ptr<CFileSystemScanner> scanner;  // made by Walk
    CProgress progress;
    // The scanner threads share the DirChange, the writers and the counts: one item at a time.
    std::mutex itemMutex;
    CScanJobFilters filters;

    Impl(SScanJobOptions o, SScanJobSummary& s)
        : options(std::move(o)), summary(s),
          formatter(std::make_shared<CStartCharacterCommonInfo>(), '?', '?', '?', nullptr),
          progress("collected", options.showProgress) {}

    CKoError ResolveRoots();
    CKoError Prepare();
    CKoError CheckFolders();
    CKoError OpenCollectFiles();
    // A deletion the previous DirChange lists (escaped, as written, line end included) may only lie
    // at or below a root of this job or of the previous one: a DirChange that lists anything else
    // is damaged or forged, and its line is dropped as a scan error.
    bool IsDeletable(std::string_view escapedLine);
    // Loads the previous job's DirChange into a new one of `kind`, or makes the job full.
    CKoError LoadPreviousDirChange(EDirChangeKind kind);
    CKoError LoadCollectAgain();
    CKoError WriteDeletedItems();
    CKoError SplitCollectFiles();
    CKoError WriteCollectInfo();
    uint64_t Collected() const {
        uint64_t n = 0;
        for (const RootOutput& o : outputs)
            n += static_cast<uint64_t>(o.writer.GetCountedFilesWritten() + o.writer.GetCountedFoldersWritten());
        return n;
    }
    CKoError Walk();
    CKoError Finish();
    void RemoveTemporaries();

    bool IsBelowRescanPath(const std::string& path) const {
        for (const std::string& r : rescanBelow)
            if (FXPath::IsAncestorOf(r, path, true)) return true;
        return false;
    }

    CKoError OnItem(const std::shared_ptr<CItem>& item, bool& descend) override;
    void OnScanError(const std::string& path, const CKoError& error) override;
};

CScanJob::CScanJob(SScanJobOptions options) : m_impl(std::make_unique<Impl>(std::move(options), m_summary)) {}
CScanJob::~CScanJob() = default;

CKoError CScanJob::Impl::ResolveRoots() {
    if (options.contents.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_BAD_ARGUMENTS, "No content to scan");
    for (const std::string& content : options.contents) {
        std::string real;
        CKoError e = FXPath::MakeRealPath(content, real);
        if (e.IsError()) return e.Push(ZY_HERE, "Content path cannot be scanned, Path=[%s]", content.c_str());
        roots.push_back(real);
    }
    // A root inside another would be walked twice.
    std::sort(roots.begin(), roots.end());
    roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
    std::vector<std::string> outer;
    for (const std::string& r : roots) {
        if (!outer.empty() && FXPath::IsAncestorOf(outer.back(), r)) {
            ZYLOG(1, "Content path lies inside another and is scanned with it, Path=[%s]", r.c_str());
            continue;
        }
        outer.push_back(r);
    }
    roots.swap(outer);
    return CKoError::Success();
}

CKoError CScanJob::Impl::Prepare() {
    CKoError e = cycle.Open(options.resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE);
    long long jobId = options.jobId;
    if (jobId < 0) {
        e = cycle.NextJobId(jobId);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (jobId > CScanJob::kMaxJobId)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "The last job id (%lld) leaves no next one; give --job",
                                           jobId - 1);
    }
    summary.jobId = jobId;
    // The kind the last scan kept, whether or not it became the baseline: a job keeps going as its
    // predecessor did.
    CScanJobState latest;
    if (latest.Load(options.resultsDir).IsError()) latest.hasLastScan = false;
    e = cycle.StartScan(jobId, options.incremental, start);
    if (e.IsError()) return e.Push(ZY_HERE);
    started = true;
    if (!start.setAside.empty())
        summary.stateNotice = "the job-state document was damaged; it was moved to " + start.setAside +
                              " and the job runs full";
    jobFolder = cycle.JobFolder(jobId);
    full = !start.incremental;
    if (options.incremental && full) summary.fallbackReason = start.reason;
    e = filters.Prepare(options.filters);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (!full) {
        // Without the baseline's filters nothing tells which items they left out.
        CKoError fe = filters.SetPrevious(start.baselineRecord.filters);
        if (fe.IsError()) {
            summary.fallbackReason = fe.GetMessage();
            full = true;
        }
        summary.filtersChanged = filters.Changed();
    }
    const EDirChangeKind kind =
        CJobDirChange::Choose(options.dirChangeKind,
                              latest.hasLastScan ? &latest.lastScan : start.baseline.found ? &start.baselineRecord : nullptr,
                              summary.dirChangeNote);
    summary.dirChangeKind = kind;
    if (full) {
        e = CJobDirChange::New(kind, options.includeFiles, options.newDirChange, dc);
    } else {
        e = LoadPreviousDirChange(kind);
    }
    if (e.IsError()) return e.Push(ZY_HERE);
    if (!full) {
        e = LoadCollectAgain();
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    summary.full = full;

    dirChangeName = CJobCycle::kDirChangeTempName;
    dirChangePath = TempPath(dirChangeName);
    collectInfoName = full ? "CollectInfoTot.zyf" : "CollectInfoInc.zyf";
    collectInfoPath = TempPath(collectInfoName);
    deletedPath = TempPath("Deleted.tmp");
    // A name planted as a link goes before the job writes there.
    for (const std::string& path : {dirChangePath, collectInfoPath, deletedPath}) {
        e = RemoveLeftover(path);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    // A spool of deleted items a killed run left beside its DirChange goes too.
    e = RemoveLeftover(dirChangePath + ".deleted");
    if (e.IsSuccess()) e = dc->StartCurrent(dirChangePath);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot create the current DirChange");
    e = OpenCollectFiles();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

// What the baseline's backup could not read, and, when the baseline was stopped and committed,
// what its readers had not reached (its commit collect file): the new job collects them again.
CKoError CScanJob::Impl::LoadCollectAgain() {
    const long long baselineId = start.baseline.jobId;
    const std::string baselineFolder = cycle.JobFolder(baselineId);
    std::vector<std::string> unreadableItems;
    CKoError e = CUnreadableItemList::Read(baselineFolder, unreadableItems);
    if (e.IsError()) return e.Push(ZY_HERE);
    std::string key;
    for (const std::string& path : unreadableItems) {
        if ((e = EscapePath(path, key)).IsError()) return e.Push(ZY_HERE);
        collectAgain.insert(key);
        rescanBelow.push_back(key);  // a folder it could not read: all of it
    }
    if (!start.baselineCommitted) return CKoError::Success();
    // The folders the committed job collected: its readers may have made them, but only the end
    // of a backup gives folders their times, so they are collected again.
    for (const std::string& name : start.baselineRecord.collectFiles) {
        FXFileHandle in;
        e = FXFile::zyfopen(FXPath::Join(baselineFolder, name), "rb", in);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot read a collect file of committed job %lld", baselineId);
        char* line = nullptr;
        size_t capacity = 0;
        for (ssize_t n; (n = ::getline(&line, &capacity, in.Get())) > 1;) {
            std::string_view text(line, static_cast<size_t>(n) - 1);
            if (text.size() > 1 && text.back() == '/' && text[0] == '/') collectAgain.emplace(text.substr(0, text.size() - 1));
        }
        const bool readError = std::ferror(in.Get()) != 0;
        std::free(line);
        if (readError) return FXErrorUtil::ErrorErrNo(ZY_HERE, EIO, "Cannot read a collect file of committed job %lld", baselineId);
    }
    const bool baselineFull = start.baselineRecord.full;
    ScanCommitJobs commit(cycle.ServerName(), summary.jobId, baselineId, 0, baselineId,
                          baselineFull ? CJobCycle::kFullType : CJobCycle::kIncrementalType, baselineFolder,
                          EDirChangeMethod::DIRCHANGE_METHOD_FILE, start.baseline.dirChangePath, false);
    e = commit.CreateCommitFile();
    UncommittedCallback take = [this](const std::string& line) {
        if (line.size() > 3 && line[0] == '?' && line[1] == '?') {
            uncommittedDeletions.push_back(line + "\n");
        } else {
            std::string_view item(line);
            if (item.size() > 1 && item.back() == '/') item.remove_suffix(1);
            collectAgain.emplace(item);
        }
        return CKoError::Success();
    };
    if (e.IsSuccess()) e = commit.ProcessUncommittedItems(&take);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read what committed job %lld left unread", baselineId);
    return CKoError::Success();
}

// The job-results folder must not lie inside the content (the scan would collect its own
// temporary files) nor hold it.
CKoError CScanJob::Impl::CheckFolders() {
    for (const std::string& root : roots) {
        if (FXSafePath::IsAtOrBelow(root, options.resultsDir))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_BAD_ARGUMENTS,
                                           "The job-results folder lies inside the content, Results=[%s], Content=[%s]",
                                           options.resultsDir.c_str(), root.c_str());
        if (FXSafePath::IsAtOrBelow(options.resultsDir, root))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_BAD_ARGUMENTS,
                                           "The content lies inside the job-results folder, Results=[%s], Content=[%s]",
                                           options.resultsDir.c_str(), root.c_str());
    }
    return CKoError::Success();
}

bool CScanJob::Impl::IsDeletable(std::string_view escapedLine) {
    std::string_view key = escapedLine.substr(0, escapedLine.find('\n'));
    if (key.size() > 1 && key.back() == '/') key.remove_suffix(1);
    std::string path = decodeFileName(std::string(key).c_str());
    if (FXSafePath::IsCleanAbsolute(path)) {
        for (const auto* list : {&roots, &start.baselineRecord.contentRoots})
            for (const std::string& root : *list)
                if (FXSafePath::IsAtOrBelow(root, path)) return true;
    }
    ++summary.scanErrors;
    std::string shown;
    escapeFileNameToPrint(path, shown);
    std::fprintf(stderr, "fsscan: the previous DirChange lists %s, outside the content; it is not listed as deleted\n",
                 shown.c_str());
    return false;
}

CKoError CScanJob::Impl::OpenCollectFiles() {
    presence = std::make_shared<CDirChangePresence>(*dc);
    outputs = std::vector<RootOutput>(roots.size());
    for (size_t i = 0; i < roots.size(); ++i) {
        RootOutput& o = outputs[i];
        o.root = roots[i];
        CKoError e = EscapePath(o.root, o.escaped);
        if (e.IsError()) return e.Push(ZY_HERE);
        o.name = std::string(full ? "CollectTot" : "CollectInc") + std::to_string(i + 1) + ".zyf";
        o.tempPath = TempPath(o.name);
        e = RemoveLeftover(o.tempPath);
        if (e.IsError()) return e.Push(ZY_HERE);
        o.writer.SetOutputFilePath(o.tempPath);
        o.writer.SetIsFullBackup(full);
        o.writer.SetCheckIfAlreadyPresent(presence);
        o.writer.SetDelegatePaths(true);
        e = o.writer.OpenOutputFile(false);
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot create the collect file in the job-results folder");
        o.writer.AddSurface(o.escaped);
        e = dc->AddSurface(o.escaped);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}

CKoError CScanJob::Impl::LoadPreviousDirChange(EDirChangeKind kind) {
    // The baseline's DirChange, under the name it has now (temporary until its job is promoted).
    SScanRecord last = start.baselineRecord;
    std::string folder;
    FXPath::SplitParentPath(start.baseline.dirChangePath, folder, last.dirChangeFile).IgnoreError();
    CJobDirChange::SOpened opened;
    CKoError e = CJobDirChange::OpenPrevious(kind, options.includeFiles, options.newDirChange, last, folder, opened);
    if (e.IsError()) return e.Push(ZY_HERE);
    dc = std::move(opened.recorder);
    if (!opened.loaded) {
        summary.fallbackReason = opened.fallbackReason + " (the DirChange of job " + std::to_string(start.baseline.jobId) + ")";
        full = true;
        return CKoError::Success();
    }
    summary.dirChangeSkipped = opened.skipped;
    previousStartMicros = last.startTimeMicros;
    rescanBelow = last.rescanPaths;
    return CKoError::Success();
}

CKoError CScanJob::Impl::OnItem(const std::shared_ptr<CItem>& item, bool& descend) {
    // Each walker escapes its own items; the rest is shared.
    thread_local std::string escaped;
    CKoError escapeError = EscapePath(item->GetPath(), escaped);
    std::lock_guard<std::mutex> lock(itemMutex);
    if (failure.IsError()) return failure;
    ++summary.seen;
    // The filter walk takes items in any order: under the lock it serves every walker.
    const CScanJobFilters::SDecision verdict = filters.Decide(item->GetPath(), item->IsFolder());
    if (!verdict.included) {
        ++summary.filtered;
        // Left out: not in the current DirChange, so what the previous job had here is listed as
        // deleted. A folder walked for the exceptions below it stays in the DirChange as a folder,
        // so that it is not listed as deleted with everything below it.
        if (!item->IsFolder() || !verdict.descend) {
            descend = false;
            return CKoError::Success();
        }
    }
    if (escapeError.IsError()) return escapeError.Push(ZY_HERE);
    const SItemStat& st = item->Stat();
    if (verdict.newlyIncluded && !full) ++summary.newlyIncluded;

    if (item->IsFolder()) {
        CKoError e = dc->AddFolder(escaped);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (!verdict.included) return CKoError::Success();
        // Folders are judged by their times like files: a changed mode, owner or ACL moves the
        // change time, and a folder put back where it was has a new one too.
        const bool changed = !full && (verdict.newlyIncluded || MicrosOf(st.mtime) >= previousStartMicros ||
                                       MicrosOf(st.ctime) >= previousStartMicros ||
                                       (!collectAgain.empty() && collectAgain.count(escaped)));
        presence->SetCollectAnyway(changed);
        CCollectFileFolderEntry entry(escaped, ZY_HERE,
                                      full                     ? "Full"
                                      : verdict.newlyIncluded ? "No longer filtered"
                                      : changed               ? "Changed folder"
                                                              : "New folder",
                                      false);
        e = current->writer.AddEntry(entry, formatter);
        presence->SetCollectAnyway(false);
        if (e.IsError()) return e.Push(ZY_HERE);
    } else {
        bool collect = full;
        const char* reason = "Full";
        if (!collect) {
            if (verdict.newlyIncluded) {
                collect = true;
                reason = "No longer filtered";
            } else if (!dc->IsFileInPreviousJob(escaped)) {
                collect = true;
                reason = "New";
            } else if (MicrosOf(st.mtime) >= previousStartMicros ||
                       (MicrosOf(st.ctime) >= previousStartMicros && !IsChangedByBackupOnly(st))) {
                collect = true;
                reason = "Changed";
            } else if (!rescanBelow.empty() && IsBelowRescanPath(escaped)) {
                collect = true;
                reason = "Unreadable before";
            } else if (!collectAgain.empty() && collectAgain.count(escaped)) {
                collect = true;
                reason = "Not backed up before";
            }
        }
        CKoError e = dc->AddFile(escaped, collect);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (collect) {
            uint64_t size = item->IsFile() ? static_cast<uint64_t>(st.size) : 0;
            CCollectFileFileEntry entry(escaped, ZY_HERE, reason, size);
            e = current->writer.AddEntry(entry, formatter);
            if (e.IsError()) return e.Push(ZY_HERE);
            summary.bytes += size;
        }
    }
    if ((summary.seen & 1023) == 0) progress.Update(summary.seen, Collected());
    return CKoError::Success();
}

void CScanJob::Impl::OnScanError(const std::string& path, const CKoError& error) {
    std::lock_guard<std::mutex> lock(itemMutex);
    ++summary.scanErrors;
    std::fprintf(stderr, "%sfsscan: cannot scan %s: %s\n", ::isatty(STDERR_FILENO) ? "\n" : "", path.c_str(),
                 error.GetMessage().c_str());
    // What the previous job saw there is kept: not reported deleted, and known to the next job,
    // which collects all of it again (changes made there meanwhile are unknown). Where that
    // fails the job must fail: its items would be reported deleted.
    std::string key;
    CKoError e = EscapePath(path, key);
    if (e.IsSuccess()) e = dc->CarryForward(key);
    if (e.IsError()) {
        if (failure.IsSuccess()) failure = e.Push(ZY_HERE, "Cannot keep what the previous job saw below an unreadable folder, Path=[%s]", path.c_str());
        return;
    }
    unreadable.push_back(key);
}

CKoError CScanJob::Impl::Walk() {
    startMicros = FXEnv::Current()->NowMicros() - kStartTimeMarginMicros;
    // The flat and segment kinds take the items in walk order, a folder's files as one block:
    // only the tree kind takes them from walkers that interleave folders.
    unsigned threads = std::max(1u, options.threads);
    if (threads > 1 && summary.dirChangeKind != EDirChangeKind::DIRCHANGE_KIND_TREE) {
        ZYLOG(1, "One scanner thread: the %s DirChange takes the items in walk order", summary.dirChangeKind.AsString());
        threads = 1;
    }
    summary.threads = threads;
    scanner = std::make_unique<CFileSystemScanner>(CFileSystemScanner::Options{false, threads});
    g_runningScanner.store(scanner.get());
    struct sigaction sa{}, oldInt{}, oldTerm{};
    sa.sa_handler = OnInterrupt;
    sigaction(SIGINT, &sa, &oldInt);
    sigaction(SIGTERM, &sa, &oldTerm);
    CKoError e;
    backupChangeTimes.SetJobResultsDirectory(options.resultsDir);
    for (RootOutput& o : outputs) {
        current = &o;
        struct stat rootStat;
        rootDevice = ::stat(o.root.c_str(), &rootStat) == 0 ? rootStat.st_dev : 0;
        if (!full) {
            CKoError open = backupChangeTimes.OpenSourceVolumeCTimeDB(o.root);
            if (open.IsError()) ZYLOG(1, "Every changed file is collected, error=%s", open.AsString().c_str());
        }
        e = scanner->Scan(o.root, *this);
        if (backupChangeTimes.IsSourceDBOpen()) backupChangeTimes.CloseSourceVolumeCTimeDB(o.root).IgnoreError();
        if (e.IsSuccess()) e = failure;
        if (e.IsError()) break;
    }
    current = nullptr;
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    g_runningScanner.store(nullptr);
    progress.Finish(summary.seen, Collected());
    if (e.IsError()) return e.Push(ZY_HERE, "Scan stopped");
    return CKoError::Success();
}

// Deleted items go to the collect file of the root they lie under (or the first one when their
// root left the content), so that each file stays the business of one reader.
CKoError CScanJob::Impl::WriteDeletedItems() {
    std::vector<COutputFile> files(outputs.size());
    for (size_t i = 0; i < outputs.size(); ++i) {
        CKoError e = files[i].Open(outputs[i].tempPath, true);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    if (!full) {
        COutputFile all;
        CKoError e = all.Open(deletedPath, false);
        if (e.IsSuccess()) e = dc->WriteDeletedItems(all.Stream(), false);
        if (e.IsSuccess()) e = all.Close();
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot list the deleted items");

        FXFileHandle in;
        e = FXFile::zyfopen(deletedPath, "rb", in);
        if (e.IsError()) return e.Push(ZY_HERE);
        // Escaped paths hold no line feed, so getline splits exactly the lines written.
        char* line = nullptr;
        size_t capacity = 0;
        for (ssize_t n; (n = ::getline(&line, &capacity, in.Get())) > 0;) {
            std::string_view path(line, static_cast<size_t>(n));
            path.remove_prefix(std::min<size_t>(3, path.size()));
            if (!IsDeletable(path)) continue;
            size_t target = 0;
            for (size_t i = 0; i < outputs.size(); ++i)
                if (FXPath::IsAncestorOf(outputs[i].escaped, path.substr(0, path.find('\n')), true)) target = i;
            std::fwrite(line, 1, static_cast<size_t>(n), files[target].Stream());
        }
        bool readError = std::ferror(in.Get()) != 0;
        std::free(line);
        for (const std::string& deletion : uncommittedDeletions) {
            std::string_view path(deletion);
            path.remove_prefix(3);
            if (!IsDeletable(path)) continue;
            size_t target = 0;
            for (size_t i = 0; i < outputs.size(); ++i)
                if (FXPath::IsAncestorOf(outputs[i].escaped, path.substr(0, path.find('\n')), true)) target = i;
            std::fwrite(deletion.data(), 1, deletion.size(), files[target].Stream());
        }
        if (readError) return FXErrorUtil::ErrorErrNo(ZY_HERE, EIO, "Cannot read the deleted items back");
        FXFile::RemoveFile(deletedPath).IgnoreError();
    }
    for (size_t i = 0; i < outputs.size(); ++i) {
        CKoError e = files[i].Close();
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot write the deleted items to the collect file");
        summary.deleted += files[i].Lines();
    }
    return CKoError::Success();
}

// Each collect file, now whole, into parts for the readers. A split that fails leaves its collect
// file whole (said in the summary); one that cannot even be rolled back fails the job, which has
// not committed: the next run starts again from the previous job.
CKoError CScanJob::Impl::SplitCollectFiles() {
    for (size_t i = 0; i < outputs.size(); ++i) {
        RootOutput& o = outputs[i];
        // A full job's backup clears from the mirror what the job did not collect, folder by
        // folder as its collect file lists them in walk order: several walkers interleave folders.
        if (full && summary.threads > 1) {
            CKoError e = CWalkOrderSort::SortFile(o.tempPath, o.tempPath);
            if (e.IsError()) return e.Push(ZY_HERE);
        }
        CScanCollectSplit::SResult result;
        CKoError e = CScanCollectSplit::Split(o.name, o.tempPath, static_cast<int>(i + 1), options.readers,
                                              [this](const std::string& name) { return TempPath(name); }, result);
        if (e.IsError()) return e.Push(ZY_HERE);
        o.parts = std::move(result.parts);
        if (options.readers > 1) summary.splits.push_back(o.name + ": " + result.report);
    }
    return CKoError::Success();
}

// The collect-files description, grouped by the volume (mount point) each root lies on.
CKoError CScanJob::Impl::WriteCollectInfo() {
    std::vector<ZyMntEnt> mounts;
    if (ZyMntTab::getAll(mounts).IsError()) mounts.clear();
    std::shared_ptr<CCollectFilesInfo> info;
    CKoError e = CCollectFilesInfo::CreateCollectFileInfo(info);
    if (e.IsError()) return e.Push(ZY_HERE);
    for (const RootOutput& o : outputs) {
        std::string volume = "/";
        for (const ZyMntEnt& m : mounts)
            if (FXPath::IsAncestorOf(m.mountPoint, o.root, true) && m.mountPoint.size() >= volume.size())
                volume = m.mountPoint;
        for (const CScanCollectSplit::SPart& part : o.parts) {
            FileScan::Collect collect{FXPath::Join(jobFolder, part.name), FileScan::COLLECT_FILE_TYPE_REGULAR};
            e = info->AddDiskCollect(volume, collect);
            if (e.IsError()) return e.Push(ZY_HERE);
        }
    }
    e = info->SaveToFile(collectInfoPath);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write the collect-files description");
    return CKoError::Success();
}

CKoError CScanJob::Impl::Finish() {
    // Lines the writers wrote and counted: items and the folders written above them.
    summary.collected = Collected();
    // The current DirChange is complete and durable under this run's name.
    CKoError e = dc->EndScan();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write the current DirChange");

    for (RootOutput& o : outputs) {
        e = o.writer.Close();
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot write the collect file, FileName=[%s]", o.tempPath.c_str());
    }
    e = WriteDeletedItems();
    if (e.IsError()) return e.Push(ZY_HERE);
    e = SplitCollectFiles();
    if (e.IsError()) return e.Push(ZY_HERE);
    e = WriteCollectInfo();
    if (e.IsError()) return e.Push(ZY_HERE);

    // Commit. The job's files are made whole and durable in its own folder first; the record
    // of the scan in the job-state document is the commit point. A crash before it leaves the
    // job pending without a record: the next scan drops it with its folder.
    SScanRecord record;
    record.jobId = summary.jobId;
    record.full = full;
    record.includeFiles = options.includeFiles;
    record.startTimeMicros = startMicros;
    record.folder = CJobCleanupCallback::JobFolderName(summary.jobId);
    record.baselineJobId = full ? 0 : start.baseline.jobId;
    record.dirChangeFile = dirChangeName;
    record.dirChangeKind = summary.dirChangeKind.AsString();
    record.collectInfoFile = collectInfoName;
    record.rescanPaths = unreadable;
    record.contentRoots = roots;
    record.filters = CScanJobFilters::Record(options.filters);
    for (const std::string& former : start.baselineRecord.contentRoots) {
        bool covered = false;
        for (const std::string& root : roots) covered = covered || FXSafePath::IsAtOrBelow(root, former);
        if (!covered) record.formerRoots.push_back(former);
    }
    for (const RootOutput& o : outputs) {
        for (const CScanCollectSplit::SPart& part : o.parts) {
            FXFileStat st;
            e = FXEnv::Current()->Stat(part.path, st);
            if (e.IsError()) return e.Push(ZY_HERE);
            record.collectSizes.push_back(st.size);
            record.collectFiles.push_back(part.name);
        }
    }
    e = HashFile(dirChangePath, record.dirChangeSize, record.dirChangeHash);
    if (e.IsError()) return e.Push(ZY_HERE);
    e = FXSyncFile(dirChangePath);
    for (size_t i = 0; e.IsSuccess() && i < outputs.size(); ++i)
        for (size_t k = 0; e.IsSuccess() && k < outputs[i].parts.size(); ++k) e = FXSyncFile(outputs[i].parts[k].path);
    if (e.IsSuccess()) e = FXSyncFile(collectInfoPath);
    if (e.IsSuccess()) e = FXEnv::Current()->SyncDir(jobFolder);
    if (e.IsSuccess()) e = FXEnv::Current()->SyncDir(options.resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot make the files of the job durable");
    e = cycle.CompleteScan(record);
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

void CScanJob::Impl::RemoveTemporaries() {
    // The job ends as failed; the next scan drops it and its folder.
    if (started) cycle.EndJob(summary.jobId, EJobDisposition::Failed, "the scan failed").IgnoreError();
}

CKoError CScanJob::Run() {
    Impl& job = *m_impl;
    // The folders are checked before the job-results folder is made: never inside the content.
    std::string realResults;
    CKoError e = job.ResolveRoots();
    if (e.IsSuccess()) e = FXSafePath::RealPathToBe(job.options.resultsDir, realResults);
    if (e.IsError()) return e.Push(ZY_HERE);
    job.options.resultsDir = realResults;
    e = job.CheckFolders();
    if (e.IsError()) return e.Push(ZY_HERE);
    e = FXFile::CreateFoldersIteratively(realResults);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot create the job-results folder, Folder=[%s]", realResults.c_str());

    // One job at a time per job-results folder.
    FXFolderLock lock;
    e = LockResultsFolder(realResults, lock);
    if (e.IsError()) return e.Push(ZY_HERE);

    e = job.Prepare();
    if (e.IsSuccess()) e = job.Walk();
    if (e.IsSuccess()) e = job.Finish();
    m_summary.seconds = job.progress.ElapsedSeconds();
    if (e.IsError()) job.RemoveTemporaries();
    return e;
}
