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

#include "scan/job/JobState.h"
#include "scan/job/OutputFile.h"
#include "scan/job/Progress.h"
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
    CScanJobState state;
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
    bool committed = false;  // the state may name this job's files

    // One collect file per content root, so that the backup can read the roots in parallel.
    struct RootOutput {
        std::string root;     // real path
        std::string escaped;  // as the DirChange keys it
        std::string name;     // "CollectTot1.zyf", ...
        std::string tempPath;
        CBasicCollectFile writer;
    };
    std::vector<RootOutput> outputs;
    RootOutput* current = nullptr;  // the root being walked
    std::string dirChangeName, dirChangePath, collectInfoName, collectInfoPath, deletedPath;
    // In the names this run writes its files under: none of them is a name another run used.
    std::string runTag;
    std::string TempPath(const std::string& name) const {
        return FXPath::Join(options.resultsDir, name + "." + runTag + ".tmp");
    }
    std::unique_ptr<CDirChangeRecorder> dc;
    std::shared_ptr<CDirChangePresence> presence;
    CStartCharacterCollectLineFormatter formatter;
    CFileSystemScanner scanner;
    CProgress progress;
    CScanJobFilters filters;
    std::string escaped;

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
    CKoError WriteDeletedItems();
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
    CKoError e = state.Load(options.resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (options.jobId < 0 && state.lastJobId >= CScanJob::kMaxJobId)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "The last job id (%lld) leaves no next one; give --job",
                                       state.lastJobId);
    summary.jobId = options.jobId >= 0 ? options.jobId : state.lastJobId + 1;

    full = !options.incremental;
    if (options.incremental && !state.hasLastScan) {
        summary.fallbackReason = "there is no previous scan";
        full = true;
    }
    e = filters.Prepare(options.filters);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (!full) {
        // Without the previous job's filters nothing tells which items they left out.
        CKoError fe = filters.SetPrevious(state.lastScan.filters);
        if (fe.IsError()) {
            summary.fallbackReason = fe.GetMessage();
            full = true;
        }
        summary.filtersChanged = filters.Changed();
    }
    const EDirChangeKind kind =
        CJobDirChange::Choose(options.dirChangeKind, state.hasLastScan ? &state.lastScan : nullptr, summary.dirChangeNote);
    summary.dirChangeKind = kind;
    if (full) {
        e = CJobDirChange::New(kind, options.includeFiles, options.newDirChange, dc);
    } else {
        e = LoadPreviousDirChange(kind);
    }
    if (e.IsError()) return e.Push(ZY_HERE);
    summary.full = full;

    runTag = std::to_string(FXEnv::Current()->NowMicros());
    dirChangeName = full ? "DCTot.zyf" : "DCInc.zyf";
    dirChangePath = TempPath(dirChangeName);
    collectInfoName = full ? "CollectInfoTot.zyf" : "CollectInfoInc.zyf";
    collectInfoPath = TempPath(collectInfoName);
    deletedPath = TempPath("Deleted");
    // A temporary name planted as a link (or left by a run with the same tag) goes before the job writes there.
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
        for (const auto* list : {&roots, &state.lastScan.contentRoots})
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
    const SScanRecord& last = state.lastScan;
    CJobDirChange::SOpened opened;
    CKoError e = CJobDirChange::OpenPrevious(kind, options.includeFiles, options.newDirChange, last, options.resultsDir, opened);
    if (e.IsError()) return e.Push(ZY_HERE);
    dc = std::move(opened.recorder);
    if (!opened.loaded) {
        summary.fallbackReason = opened.fallbackReason;
        full = true;
        return CKoError::Success();
    }
    summary.dirChangeSkipped = opened.skipped;
    previousStartMicros = last.startTimeMicros;
    rescanBelow = last.rescanPaths;
    return CKoError::Success();
}

CKoError CScanJob::Impl::OnItem(const std::shared_ptr<CItem>& item, bool& descend) {
    if (failure.IsError()) return failure;
    ++summary.seen;
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
    CKoError escapeError = EscapePath(item->GetPath(), escaped);
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
                                       MicrosOf(st.ctime) >= previousStartMicros);
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
    startMicros = CTimeStamp::Now().AsUnixMicroseconds() - kStartTimeMarginMicros;
    g_runningScanner.store(&scanner);
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
        e = scanner.Scan(o.root, *this);
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
        FileScan::Collect collect{FXPath::Join(options.resultsDir, o.name), FileScan::COLLECT_FILE_TYPE_REGULAR};
        e = info->AddDiskCollect(volume, collect);
        if (e.IsError()) return e.Push(ZY_HERE);
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
    e = WriteCollectInfo();
    if (e.IsError()) return e.Push(ZY_HERE);

    // Commit. This run's files are made whole and durable under this run's names first; saving
    // the state is the commit point; only then do the files take their names, over those of the
    // files the previous state names. A crash before the state is saved leaves the previous job
    // in force with its files untouched; after it, the renames left are finished by the next
    // load of the state (CScanJobState::Load).
    SScanRecord record;
    record.jobId = summary.jobId;
    record.full = full;
    record.includeFiles = options.includeFiles;
    record.startTimeMicros = startMicros;
    record.dirChangeFile = dirChangeName;
    record.dirChangeKind = summary.dirChangeKind.AsString();
    record.collectInfoFile = collectInfoName;
    record.rescanPaths = unreadable;
    record.contentRoots = roots;
    record.filters = CScanJobFilters::Record(options.filters);
    for (const std::string& former : state.lastScan.contentRoots) {
        bool covered = false;
        for (const std::string& root : roots) covered = covered || FXSafePath::IsAtOrBelow(root, former);
        if (!covered) record.formerRoots.push_back(former);
    }
    for (const RootOutput& o : outputs) {
        FXFileStat st;
        e = FXEnv::Current()->Stat(o.tempPath, st);
        if (e.IsError()) return e.Push(ZY_HERE);
        record.collectSizes.push_back(st.size);
    }
    e = HashFile(dirChangePath, record.dirChangeSize, record.dirChangeHash);
    if (e.IsError()) return e.Push(ZY_HERE);
    auto pend = [&](const std::string& written, const std::string& name) {
        CKoError synced = FXSyncFile(written);
        if (synced.IsError()) return synced.Push(ZY_HERE);
        std::string folder, writtenName;
        FXPath::SplitParentPath(written, folder, writtenName).IgnoreError();
        record.pending.emplace_back(writtenName, name);
        return CKoError::Success();
    };
    e = pend(dirChangePath, dirChangeName);
    for (size_t i = 0; e.IsSuccess() && i < outputs.size(); ++i) {
        e = pend(outputs[i].tempPath, outputs[i].name);
        record.collectFiles.push_back(outputs[i].name);
    }
    if (e.IsSuccess()) e = pend(collectInfoPath, collectInfoName);
    if (e.IsSuccess()) e = FXEnv::Current()->SyncDir(options.resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot make the files of the job durable");

    CScanJobState next = state;
    next.hasLastScan = true;
    next.lastScan = record;
    next.lastJobId = std::max(state.lastJobId, summary.jobId);
    // A save that fails once it has renamed (its folder sync) leaves the new state in place,
    // maybe for good: from here on the files it names stay, whatever happens.
    committed = true;
    e = next.Save(options.resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE);

    // The job is done from here; what fails below is finished or tidied by a later run.
    e = next.FinishPending(options.resultsDir);
    if (e.IsSuccess()) {
        next.lastScan.pending.clear();
        e = next.Save(options.resultsDir);
    }
    if (e.IsError())
        ZYLOG_ERROR("The job is recorded, and the next run finishes putting its files in place, error=%s",
                    e.AsString().c_str());

    // A previous job of the same level may have had more roots: its extra files go; and so do
    // files that runs which stopped midway left under their own names.
    std::vector<std::string> names;
    if (FXFile::GetMatchingFiles(options.resultsDir, full ? "CollectTot*.zyf" : "CollectInc*.zyf", names).IsSuccess()) {
        for (const std::string& name : names)
            if (std::find(record.collectFiles.begin(), record.collectFiles.end(), name) == record.collectFiles.end())
                FXFile::RemoveFile(FXPath::Join(options.resultsDir, name)).IgnoreError();
    }
    if (e.IsSuccess() && FXFile::GetMatchingFiles(options.resultsDir, "*.[0-9]*.tmp", names).IsSuccess()) {
        for (const std::string& name : names)
            if (FXString::MatchLeft(name, "DC") || FXString::MatchLeft(name, "Collect") || FXString::MatchLeft(name, "Deleted."))
                FXFile::RemoveFile(FXPath::Join(options.resultsDir, name)).IgnoreError();
    }
    if (e.IsSuccess() && FXFile::GetMatchingFiles(options.resultsDir, "DC*.[0-9]*.tmp.deleted", names).IsSuccess()) {
        for (const std::string& name : names) FXFile::RemoveFile(FXPath::Join(options.resultsDir, name)).IgnoreError();
    }
    return CKoError::Success();
}

void CScanJob::Impl::RemoveTemporaries() {
    if (committed) return;  // the state may name them: a later load gives them their names
    for (const RootOutput& o : outputs) FXFile::RemoveFile(o.tempPath).IgnoreError();
    for (const std::string& path : {dirChangePath, collectInfoPath, deletedPath})
        if (!path.empty()) FXFile::RemoveFile(path).IgnoreError();
    if (!dirChangePath.empty()) FXFile::RemoveFile(dirChangePath + ".deleted").IgnoreError();
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
    e = lock.Lock(realResults);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_LOCK_VIOLATION))
        return e.Push(ZY_HERE, "Another job is using the job-results folder, Folder=[%s]", realResults.c_str());
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot lock the job-results folder, Folder=[%s]", realResults.c_str());

    e = job.Prepare();
    if (e.IsSuccess()) e = job.Walk();
    if (e.IsSuccess()) e = job.Finish();
    m_summary.seconds = job.progress.ElapsedSeconds();
    if (e.IsError()) job.RemoveTemporaries();
    return e;
}
