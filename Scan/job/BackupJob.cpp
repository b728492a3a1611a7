#include "scan/job/BackupJob.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <csignal>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "scan/job/BackupIndexRecorder.h"
#include "scan/job/BackupMetadataStore.h"
#include "scan/job/CollectLine.h"
#include "scan/job/ContentScope.h"
#include "scan/job/JobCycle.h"
#include "scan/job/JobFileGuard.h"
#include "scan/job/ItemMetadataRecorder.h"
#include "scan/job/JobState.h"
#include "scan/job/Mirror.h"
#include "scan/job/Progress.h"
#include "scan/job/UnreadableItemList.h"
#include "agent/JobClient.h"
#include "core/Env.h"
#include "core/File.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/SafePath.h"
#include "core/Sync.h"
#include "core/TimeStamp.h"
#include "scan/Unix/CollectFileEncode.h"
#include "scan/collect/CollectFileReader.h"
#include "scan/collect/CollectFilesInfo.h"
#include "scan/collect/CollectInfoManager.h"
#include "scan/collect/FlatCollectFilesSplitter.h"
#include "scan/fsservices/ATimePreserver.h"
#include "scan/jobstate/JobFiles.h"
#include "scan/jobstate/RestartMapFileHandler.h"
#include "scan/jobstate/ScanErrorFileHandler.h"
namespace {

// The restart offset of a collect file that has been read to its end.
constexpr int64_t kFinished = -999;
// The job status an unreadable item implies: the job completes, with errors.
constexpr uint32_t kCompletedWithErrors = 14;
// Refused lines named on standard error; the rest are only counted (and recorded).
constexpr uint64_t kRefusalsShown = 20;

// Counts what it raises by message, so that the summary can say how many of each there were.
class CCountingJobClient : public ZYFileBkpJobClient {
public:
    using ZYFileBkpJobClient::ZYFileBkpJobClient;
    uint64_t unreadable = 0, refused = 0;

protected:
    CKoError RaisePendingCause(const ZYPendingCause& cause) override {
        CKoError e = ZYFileBkpJobClient::RaisePendingCause(cause);
        if (e.IsSuccess()) ++(cause.messageId == CBackupJob::kLineRefusedMessageId ? refused : unreadable);
        return e;
    }
};

// The arguments of a scan-error record are separated by "|": a path keeps its own "|" (and the
// "%" that escapes it) escaped, as collect files write them.
std::string EscapeArgument(const std::string& text) { return CUnreadableItemList::EscapeArgument(text); }

// Set by SIGINT and SIGTERM while a backup runs: its readers stop where they are.
std::atomic<bool> g_stopRequested{false};
void OnStopSignal(int) { g_stopRequested.store(true); }

// One folder of a full job's last pass: the names the job collected in it.
struct SOpenFolder {
    std::string path;
    bool sweep = true;  // false below a folder the scan could not read: what it held is kept
    std::unordered_set<std::string> names;
};

class CBackupRun {
public:
    CBackupRun(const SBackupJobOptions& options, SBackupJobSummary& summary, const CScanJobState& state, CJobCycle& cycle)
        : m_options(options), m_summary(summary), m_state(state), m_cycle(cycle),
          m_folder(state.PathOf(options.resultsDir, std::string())), m_manager(kFinished, 0),
          m_scanErrors(m_folder), m_scope(state.lastScan.contentRoots, state.lastScan.formerRoots),
          m_progress("done", options.showProgress) {}

    CKoError Run();

private:
    CKoError CheckDestination(std::string& realDest);
    // The job may be backed up to this destination: it is the one its backup started with, and
    // for an incremental job the one its baseline went to.
    CKoError CheckJobDestination(const SDestIdentity& dest);
    CKoError EndStopped();
    CKoError EndSuccessful();
    bool StopRequested() {
        if (m_options.stopAfterItems && m_lines.load(std::memory_order_relaxed) >= m_options.stopAfterItems) m_stop = true;
        return m_stop.load(std::memory_order_relaxed) || g_stopRequested.load(std::memory_order_relaxed);
    }
    CKoError Prepare();
    CKoError PrepareScanErrorFile();
    CKoError LoadCollects();
    CKoError LoadRestartOffsets();
    CKoError StartReaders();
    void Reader();
    CKoError ReadCollect(const CollectFileInfo& info, CMirror::CCursor& cursor, bool& stopped);
    CKoError Apply(const SCollectLine& line, CMirror::CCursor& cursor);
    CKoError Refuse(const std::string& collect, long long offset, const std::string& text, const char* why);
    CKoError RecordUnreadable(const std::string& path, const std::string& reason);
    CKoError FinalPass();
    CKoError FinalPassOf(const std::vector<std::string>& collects, CMirror::CCursor& cursor);
    CKoError CloseFolder(SOpenFolder& folder, CMirror::CCursor& cursor);
    bool IsBelowUnreadable(const std::string& path) const;
    CKoError RaiseScanErrors();
    CKoError FoldChangeTimes();
    std::unique_ptr<CItemMetadataRecorder> NewRecorder();
    void Fail(CKoError error);

    const SBackupJobOptions& m_options;
    SBackupJobSummary& m_summary;
    CScanJobState m_state;
    CJobCycle& m_cycle;
    const std::string m_folder;  // the job's folder
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_stopped{false};  // a reader stopped before the end of its collect file
    std::atomic<size_t> m_finishedNow{0};  // collect files read to their end by this run
    CMirror m_mirror;
    CRestartMapFileHandler m_restartMap;
    CollectInfoManager m_manager;
    std::vector<std::string> m_collects;
    std::unordered_map<std::string, uint64_t> m_collectSizes;  // by path
    size_t m_pending = 0;                                       // collect files not yet read to their end
    std::vector<std::string> m_unreadableFolders;               // decoded rescan paths of the scan
    SMirrorCounters m_counters;
    std::atomic<uint64_t> m_lines{0};
    std::atomic<uint64_t> m_refusedNow{0};
    CBackupMetadataStore m_store;
    std::atomic<unsigned> m_recorders{0};
    std::atomic<uint64_t> m_atimesPreserved{0};

    std::mutex m_errorMutex;  // the scan-error file and the first failure
    CScanErrorFileHandler m_scanErrors;
    CKoError m_failure;
    std::atomic<bool> m_failed{false};
    CContentScope m_scope;
    CProgress m_progress;
    CBackupIndexRecorder m_index;
};

void CBackupRun::Fail(CKoError error) {
    std::lock_guard<std::mutex> lock(m_errorMutex);
    if (!m_failed.exchange(true)) m_failure = std::move(error);
}

CKoError CBackupRun::CheckDestination(std::string& realDest) {
    CKoError e = FXSafePath::RealPathToBe(m_options.dest, realDest);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot resolve the destination, Folder=[%s]", m_options.dest.c_str());
    auto refuse = [&](const char* why, const std::string& other) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_BAD_ARGUMENTS, "The destination %s, Destination=[%s], RealPath=[%s]%s",
                                       why, m_options.dest.c_str(), realDest.c_str(), other.c_str());
    };
    if (realDest == "/") return refuse("cannot be /", "");
    for (const auto* list : {&m_scope.Roots(), &m_scope.FormerRoots()}) {
        for (const std::string& root : *list) {
            if (FXSafePath::IsAtOrBelow(root, realDest)) return refuse("lies inside the content", ", Content=[" + root + "]");
            if (FXSafePath::IsAtOrBelow(realDest, root)) return refuse("holds the content", ", Content=[" + root + "]");
        }
    }
    if (FXSafePath::IsAtOrBelow(realDest, m_options.resultsDir) || FXSafePath::IsAtOrBelow(m_options.resultsDir, realDest))
        return refuse("and the job-results folder lie one inside the other", ", Results=[" + m_options.resultsDir + "]");
    e = FXFile::CreateFoldersIteratively(realDest);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot create the destination, Folder=[%s]", realDest.c_str());
    return CKoError::Success();
}

// A scan-error file always starts with its version line: a new one is written whole before any
// record, and one left without it (a backup killed as it created the file) gets it back, with
// the records it holds.
CKoError CBackupRun::PrepareScanErrorFile() {
    const std::string& path = m_scanErrors.GetFilePath();
    FXEnv* env = FXEnv::Current();
    std::unique_ptr<FXSequentialFile> in;
    CKoError e = env->NewSequentialFile(path, in);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return FXDurableReplace::WriteWhole(path, "1\r\n");
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read the scan-error file");
    char head[3];
    size_t got = 0;
    e = in->Read(head, sizeof head, got);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read the scan-error file");
    if (got == 3 && std::memcmp(head, "1\r\n", 3) == 0) return CKoError::Success();

    std::fprintf(stderr, "fsscan: warning: the scan-error file had no version line; it is repaired\n");
    FXDurableReplace replace(path);
    e = replace.Open();
    if (e.IsSuccess()) e = replace.Append("1\r\n");
    // A record cut short is dropped by the reader; whole ones are kept.
    std::vector<char> buffer(1 << 16);
    for (std::string_view chunk(head, got); e.IsSuccess() && !chunk.empty();) {
        e = replace.Append(chunk);
        if (e.IsSuccess()) e = in->Read(buffer.data(), buffer.size(), got);
        chunk = std::string_view(buffer.data(), e.IsSuccess() ? got : 0);
    }
    if (e.IsSuccess()) e = replace.Commit();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot repair the scan-error file");
    return CKoError::Success();
}

CKoError CBackupRun::LoadCollects() {
    const SScanRecord& scan = m_state.lastScan;
    const std::string descriptionPath = FXPath::Join(m_folder, scan.collectInfoFile);
    bool exists = false;
    CKoError e = CJobFileGuard::RequireRegular(descriptionPath, CJobFileGuard::kMaxDocumentSize, exists);
    if (e.IsSuccess() && !exists)
        e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "FileName=[%s]", descriptionPath.c_str());
    std::shared_ptr<CCollectFilesInfo> description;
    if (e.IsSuccess()) e = CCollectFilesInfo::CreateCollectFileInfo(description);
    if (e.IsSuccess()) e = description->LoadFromFile(descriptionPath);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read the collect-files description of job %lld", scan.jobId);
    FileScan::CollectInfo info;
    description->GetCollectInfo(info);

    // Every collect the description names must be one the job state names, and is read from this
    // job-results folder whatever folder the description gives.
    std::vector<FileScan::Collect*> collects;
    for (auto& disk : info.disks)
        for (auto& volume : disk.volumes)
            for (auto& collect : volume.collects) collects.push_back(&collect);
    for (auto& component : info.components)
        for (auto& collect : component.collects) collects.push_back(&collect);
    std::set<std::string> seen;
    for (FileScan::Collect* collect : collects) {
        std::string folder, name;
        FXPath::SplitParentPath(collect->path, folder, name).IgnoreError();
        auto it = std::find(scan.collectFiles.begin(), scan.collectFiles.end(), name);
        if (!FXSafePath::IsCleanName(name) || it == scan.collectFiles.end() || !seen.insert(name).second)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "The collect-files description names a file that is not one of the job's collect files, "
                                           "FileName=[%s], Description=[%s]",
                                           collect->path.c_str(), descriptionPath.c_str());
        collect->path = FXPath::Join(m_folder, name);
        size_t index = static_cast<size_t>(it - scan.collectFiles.begin());
        uint64_t expected = index < scan.collectSizes.size() ? scan.collectSizes[index] : 0, size = 0;
        e = CJobFileGuard::CheckCollectFile(collect->path, expected, size);
        if (e.IsError()) return e.Push(ZY_HERE);
        m_collectSizes[collect->path] = size;
    }
    if (!m_manager.PopulateFromCollectInfo(info, m_restartMap, "backup", m_collects))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE, "Cannot register the collect files");
    m_pending = m_collects.size();
    return CKoError::Success();
}

// Where the previous attempt got to. An offset that does not lie at a line start inside its
// collect file means a damaged map: that file is read from its beginning.
CKoError CBackupRun::LoadRestartOffsets() {
    std::vector<std::pair<unsigned, CRestartMapFileEntry>> entries;
    CKoError e = m_restartMap.PopulateEntries(entries);
    if (e.IsError()) return e.Push(ZY_HERE);
    for (const auto& [id, entry] : entries) {
        const auto collectId = static_cast<int32_t>(id);
        std::string name;
        if (!m_manager.GetCollectFileNameById(collectId, name)) continue;
        int64_t offset = entry.GetRestartOffset();
        if (offset == kFinished) {
            m_manager.SetCollectFileStartIndexById(collectId, offset);
            if (m_pending) --m_pending;
            continue;
        }
        if (offset == -1 || offset == 0) continue;
        uint64_t size = m_collectSizes[name];
        bool atLineStart = offset > 0 && static_cast<uint64_t>(offset) <= size;
        if (atLineStart) {
            std::unique_ptr<FXRandomAccessFile> file;
            char before = 0;
            size_t got = 0;
            e = FXEnv::Current()->NewRandomAccessFile(name, file);
            if (e.IsSuccess()) e = file->Read(static_cast<uint64_t>(offset) - 1, &before, 1, got);
            if (e.IsError()) return e.Push(ZY_HERE, "Cannot read collect file, FileName=[%s]", name.c_str());
            atLineStart = got == 1 && before == '\n';
        }
        if (!atLineStart) {
            std::fprintf(stderr,
                         "fsscan: warning: the collect map is damaged: restart offset %lld lies outside the lines of %s "
                         "(%llu bytes); reading that file from its beginning\n",
                         static_cast<long long>(offset), name.c_str(), static_cast<unsigned long long>(size));
            e = m_restartMap.UpdateRestartOffset(id, -1);
            if (e.IsError()) return e.Push(ZY_HERE);
            continue;
        }
        m_manager.SetCollectFileStartIndexById(collectId, offset);
    }
    return CKoError::Success();
}

CKoError CBackupRun::Prepare() {
    SScanRecord& scan = m_state.lastScan;
    m_summary.jobId = scan.jobId;
    // The collect map is in the job's folder: there is one when a backup of this job ran before.
    const std::string mapPath = FXPath::Join(m_folder, scan.full ? "CollectMap_Tot.zyf" : "CollectMap_lnc.zyf");
    m_summary.restarted = CJobFiles::Exists(mapPath);
    for (const std::string& r : scan.rescanPaths) m_unreadableFolders.push_back(decodeFileName(r.c_str()));

    // Files this job creates or appends to: never through something planted in their place.
    for (const std::string& path : {FXPath::Join(m_folder, "ScanError.zyf"), FXPath::Join(m_options.resultsDir, "PendingCauses.txt"),
                                    FXPath::Join(m_folder, "CollectMap_Tot.zyf"), FXPath::Join(m_folder, "CollectMap_lnc.zyf")}) {
        CKoError e = CJobFileGuard::ClearIfNotRegular(path);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    CKoError e = PrepareScanErrorFile();
    if (e.IsError()) return e.Push(ZY_HERE);
    e = m_restartMap.Init(m_folder, scan.full, !m_summary.restarted);
    if (e.IsError() && m_summary.restarted) {
        std::fprintf(stderr, "fsscan: warning: the collect map cannot be read; reading every collect file from its start\n");
        ZYLOG(1, "No collect map to restart from, error=%s", e.AsString().c_str());
        e = m_restartMap.Init(m_folder, scan.full, true);
    }
    if (e.IsError()) return e.Push(ZY_HERE);
    e = LoadCollects();
    if (e.IsSuccess()) e = LoadRestartOffsets();
    if (e.IsSuccess() && m_options.keepMetadata) e = m_store.Open(m_options.resultsDir, true);
    if (e.IsSuccess()) e = m_restartMap.FlushToFile();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CBackupRun::RecordUnreadable(const std::string& path, const std::string& reason) {
    std::fprintf(stderr, "fsscan: cannot back up %s: %s\n", path.c_str(), reason.c_str());
    CScanErrorFileData data;
    data.messageId = CBackupJob::kItemUnreadableMessageId;
    data.arguments = EscapeArgument(path) + "|" + EscapeArgument(reason);
    data.jobStatus = kCompletedWithErrors;
    std::lock_guard<std::mutex> lock(m_errorMutex);
    CKoError e = m_scanErrors.WriteMessage(data);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record a scan error");
    return CKoError::Success();
}

CKoError CBackupRun::Refuse(const std::string& collect, long long offset, const std::string& text, const char* why) {
    std::string shown;
    escapeFileNameToPrint(text.substr(0, 512), shown);
    if (++m_refusedNow <= kRefusalsShown)
        std::fprintf(stderr, "fsscan: refused the line at offset %lld of %s: %s: %s\n", offset, collect.c_str(), why,
                     shown.c_str());
    ZYLOG_ERROR("Collect line refused, CollectFile=[%s], Offset=[%lld], Reason=[%s], Line=[%s]", collect.c_str(), offset,
                why, shown.c_str());
    CScanErrorFileData data;
    data.messageId = CBackupJob::kLineRefusedMessageId;
    data.arguments = EscapeArgument(collect) + "|" + std::to_string(offset) + "|" + EscapeArgument(why);
    data.jobStatus = kCompletedWithErrors;
    std::lock_guard<std::mutex> lock(m_errorMutex);
    CKoError e = m_scanErrors.WriteMessage(data);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record a refused line");
    return CKoError::Success();
}

CKoError CBackupRun::Apply(const SCollectLine& line, CMirror::CCursor& cursor) {
    if (line.kind != ECollectLineKind::Item) {
        // The index lets go of the item before the mirror does.
        CKoError e = m_index.RecordDeletion(line.path, line.folder || line.kind == ECollectLineKind::DeletedTree);
        if (e.IsError()) return e.Push(ZY_HERE);
        return m_mirror.Remove(cursor, line.path, m_counters);
    }
    bool sourceError = false;
    std::string reason;
    SMirrorCopied copied;
    CKoError e = m_mirror.CopyItem(cursor, line.path, sourceError, reason, m_counters, &copied);
    if (e.IsSuccess() && copied.done) e = m_index.RecordCopied(line.path, copied.st);
    if (e.IsError()) return e;
    if (sourceError) return RecordUnreadable(line.path, reason);
    return CKoError::Success();
}

CKoError CBackupRun::ReadCollect(const CollectFileInfo& info, CMirror::CCursor& cursor, bool& stopped) {
    stopped = false;
    const std::string& path = info.GetCollectName();
    const auto restartId = static_cast<unsigned>(info.GetCollectId());
    CCollectFileReader reader(path);
    reader.SetHasStartCharacters(false);
    CKoError e = reader.OpenCollectFile();
    if (e.IsError()) return e.Push(ZY_HERE);
    if (info.GetCollectStartOffset() > 0) {
        ZYLOG(1, "Restarting collect file, CollectFile=[%s], Offset=[%lld]", path.c_str(),
              static_cast<long long>(info.GetCollectStartOffset()));
        e = reader.MoveToPosition(info.GetCollectStartOffset());
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    std::string name;
    SCollectLine line;
    bool insideLongLine = false;  // the reader hands a line too long for it over in pieces
    for (uint64_t n = 1; !m_failed.load(std::memory_order_relaxed); ++n) {
        if (!insideLongLine && StopRequested()) {
            // Exactly where this reader got to: a commit keeps what it read, and nothing more.
            stopped = true;
            // What the index and the metadata store hold is committed before the offset moves.
            e = m_index.Checkpoint();
            if (e.IsSuccess()) e = m_store.Commit();
            if (e.IsSuccess()) e = m_restartMap.UpdateRestartOffset(restartId, reader.GetCurrentPosition());
            if (e.IsSuccess()) e = m_restartMap.FlushToFile();
            if (e.IsError()) return e.Push(ZY_HERE, "Cannot record the restart offset");
            return CKoError::Success();
        }
        e = reader.GetNextLine(name);
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NO_MORE_ITEMS)) return CKoError::Success();
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot read collect file, FileName=[%s]", path.c_str());
        const std::string& original = reader.GetCurrentOriginalLine();
        const bool wholeLine = !original.empty() && original.back() == '\n';
        if (insideLongLine || !wholeLine) {
            // No path is that long: the line is refused, and none of its pieces is taken for a line.
            if (!insideLongLine) e = Refuse(path, reader.GetCurrentItemPosition(), name, "the line is too long");
            insideLongLine = !wholeLine;
        } else if (!ParseCollectLine(name, line)) {
            e = Refuse(path, reader.GetCurrentItemPosition(), name, "not an item or a deletion line");
        } else if (const char* why = m_scope.Refusal(line)) {
            e = Refuse(path, reader.GetCurrentItemPosition(), name, why);
        } else {
            e = Apply(line, cursor);
        }
        if (e.IsError()) return e.Push(ZY_HERE);
        m_progress.Update(++m_lines, m_counters.files + m_counters.folders);
        if (n % m_options.checkpointItems == 0 && !insideLongLine) {
            // What the index and the metadata store hold is committed before the offset that passes it.
            e = m_index.Checkpoint();
            if (e.IsSuccess()) e = m_store.Commit();
            if (e.IsSuccess()) e = m_restartMap.UpdateRestartOffset(restartId, reader.GetCurrentPosition());
            if (e.IsSuccess()) e = m_restartMap.FlushToFile();
            if (e.IsError()) return e.Push(ZY_HERE, "Cannot record the restart offset");
        }
    }
    return CKoError::Success();
}

std::unique_ptr<CItemMetadataRecorder> CBackupRun::NewRecorder() {
    std::string fsMetaName;
    if (m_options.preserveAtime)
        fsMetaName = "J" + std::to_string(m_state.lastScan.jobId) + "-" + std::to_string(::getpid()) + "-" +
                     std::to_string(++m_recorders);
    return std::make_unique<CItemMetadataRecorder>(m_options.keepMetadata ? &m_store : nullptr, m_options.resultsDir,
                                                   fsMetaName);
}

void CBackupRun::Reader() {
    CMirror::CCursor cursor;
    std::unique_ptr<CItemMetadataRecorder> recorder;
    try {
        recorder = NewRecorder();
    } catch (const std::bad_alloc&) {
        Fail(FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Cannot start a reader"));
        return;
    }
    cursor.SetObserver(recorder.get());
    std::string last;
    CollectFileInfo info;
    while (!m_failed.load() && !StopRequested() &&
           m_manager.GetNextCollectToProcess(info, COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL, last)) {
        bool stopped = false;
        CKoError e = ReadCollect(info, cursor, stopped);
        // A stop has committed what it read before recording its offset.
        if (e.IsSuccess() && stopped) {
            m_stopped = true;
            break;
        }
        if (e.IsSuccess()) e = m_index.Checkpoint();
        if (e.IsSuccess()) e = m_store.Commit();
        if (e.IsSuccess()) {
            ++m_finishedNow;
            m_manager.MarkCollectDone(info.GetCollectId());
            e = m_restartMap.UpdateRestartOffset(static_cast<unsigned>(info.GetCollectId()), kFinished);
            if (e.IsSuccess()) e = m_restartMap.FlushToFile();
        }
        if (e.IsError()) {
            Fail(e);
            return;
        }
        last = info.GetCollectName();
    }
    CKoError e = recorder->Close();
    if (e.IsError()) Fail(e.Push(ZY_HERE));
    m_atimesPreserved += recorder->Preserved();
}

// As many readers as asked for, but no more than there are collect files to read; a thread
// the system cannot start fails the job (the ones started finish first).
CKoError CBackupRun::StartReaders() {
    const size_t wanted = std::min<size_t>(m_options.streams, m_pending);
    std::vector<std::thread> readers;
    CKoError e;
    try {
        readers.reserve(wanted);
        for (size_t i = 0; i < wanted; ++i) readers.emplace_back([this] { Reader(); });
    } catch (const std::system_error& ex) {
        e = FXErrorUtil::ErrorErrNo(ZY_HERE, ex.code().value(), "Cannot start reader thread %zu of %zu: %s", readers.size() + 1,
                                    wanted, ex.what());
    } catch (const std::bad_alloc&) {
        e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Cannot start reader thread %zu of %zu",
                                    readers.size() + 1, wanted);
    }
    if (e.IsError()) Fail(e);
    m_summary.threads = static_cast<unsigned>(readers.size());
    for (std::thread& t : readers) t.join();
    return CKoError::Success();
}

bool CBackupRun::IsBelowUnreadable(const std::string& path) const {
    for (const std::string& u : m_unreadableFolders)
        if (FXSafePath::IsAtOrBelow(u, path)) return true;
    return false;
}

CKoError CBackupRun::CloseFolder(SOpenFolder& folder, CMirror::CCursor& cursor) {
    if (folder.sweep) {
        CKoError e = m_mirror.Sweep(cursor, folder.path, folder.names, m_counters,
                                    [this](const std::string& path) { return m_index.RecordDeletion(path, true); });
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    return m_mirror.ApplyFolderAttributes(cursor, folder.path);
}

// After every reader is done: folder modes and times (adding an entry changes a folder's time),
// and for a full job the removal from each collected folder of what the job did not collect.
// Read again from the collect files so that it also happens after a restart. Collect files list
// a walk in order (a folder before what it holds, names in order), so a folder is complete when
// a line that does not lie below it comes; a file not in that order is not swept, and items of it
// that come out of order are copied again, in case a sweep removed them. The parts of a split
// collect file are read as the one file they were.
CKoError CBackupRun::FinalPassOf(const std::vector<std::string>& collects, CMirror::CCursor& cursor) {
    std::string name, previous;
    SCollectLine line;
    std::vector<SOpenFolder> open;
    bool sweeping = m_state.lastScan.full, recopy = false;
    CKoError e;
    for (const std::string& collect : collects) {
        CCollectFileReader reader(collect);
        reader.SetHasStartCharacters(false);
        e = reader.OpenCollectFile();
        if (e.IsError()) return e.Push(ZY_HERE);
        bool insideLongLine = false;
        for (;;) {
            e = reader.GetNextLine(name);
            if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NO_MORE_ITEMS)) break;
            if (e.IsError()) return e.Push(ZY_HERE, "Cannot read collect file, FileName=[%s]", collect.c_str());
            const std::string& original = reader.GetCurrentOriginalLine();
            const bool wholeLine = !original.empty() && original.back() == '\n';
            const bool skip = insideLongLine || !wholeLine;
            insideLongLine = !wholeLine;
            if (skip || !ParseCollectLine(name, line) || m_scope.Refusal(line)) continue;  // refused by the readers
            const std::string& path = line.path;
            if (line.kind != ECollectLineKind::Item) {
                SCollectLine parent{ECollectLineKind::Item, true, std::string()};
                std::string leaf;
                if (FXPath::SplitParentPath(path, parent.path, leaf).IsSuccess() && !m_scope.Refusal(parent))
                    e = m_mirror.ApplyFolderAttributes(cursor, parent.path);
                if (e.IsError()) return e.Push(ZY_HERE);
                continue;
            }
            if (sweeping && !previous.empty() && FXSafePath::CompareComponents(previous, path) >= 0) {
                ZYLOG(1, "Collect file not in walk order: not swept, CollectFile=[%s], Path=[%s]", collect.c_str(), path.c_str());
                sweeping = false;
                recopy = true;
                for (SOpenFolder& f : open) f.sweep = false;
            }
            previous = path;
            if (recopy) {
                e = Apply(line, cursor);
                if (e.IsError()) return e.Push(ZY_HERE);
            }
            while (!open.empty() && (open.back().path == path || !FXSafePath::IsAtOrBelow(open.back().path, path))) {
                e = CloseFolder(open.back(), cursor);
                if (e.IsError()) return e.Push(ZY_HERE);
                open.pop_back();
            }
            if (!open.empty()) {
                // The name below the innermost open folder that leads to this item.
                std::string_view below = FXSafePath::RelativeTo(open.back().path, path);
                open.back().names.emplace(below.substr(0, below.find('/')));
            }
            if (line.folder && m_scope.RootOf(path)) {
                open.push_back(SOpenFolder{path, sweeping && !IsBelowUnreadable(path), {}});
            } else if (line.folder) {
                e = m_mirror.ApplyFolderAttributes(cursor, path);
                if (e.IsError()) return e.Push(ZY_HERE);
            }
        }
    }
    while (!open.empty()) {
        e = CloseFolder(open.back(), cursor);
        if (e.IsError()) return e.Push(ZY_HERE);
        open.pop_back();
    }
    return CKoError::Success();
}

CKoError CBackupRun::FinalPass() {
    CMirror::CCursor cursor;
    std::unique_ptr<CItemMetadataRecorder> recorder = NewRecorder();  // items copied again
    cursor.SetObserver(recorder.get());
    // The description lists the parts of a collect file together, the file itself first.
    std::vector<std::string> group;
    for (size_t i = 0; i <= m_collects.size(); ++i) {
        if (i < m_collects.size() && !group.empty() &&
            m_collects[i] == CFlatCollectFilesSplitter::PartName(group.front(), static_cast<int>(group.size()))) {
            group.push_back(m_collects[i]);
            continue;
        }
        if (!group.empty()) {
            CKoError e = FinalPassOf(group, cursor);
            if (e.IsError()) return e.Push(ZY_HERE);
        }
        group.clear();
        if (i < m_collects.size()) group.push_back(m_collects[i]);
    }
    CKoError e = recorder->Close();
    if (e.IsError()) return e.Push(ZY_HERE);
    m_atimesPreserved += recorder->Preserved();
    return CKoError::Success();
}

// The change times the readers recorded go into each volume's database, which the next scan
// consults. Files of an earlier attempt that failed here are folded too.
CKoError CBackupRun::FoldChangeTimes() {
    CATimePreserver preserver;
    preserver.SetJobResultsDirectory(m_options.resultsDir);
    CKoError e = preserver.FindAndApplyCTimeMetaFiles();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CBackupRun::RaiseScanErrors() {
    CCountingJobClient client(m_options.resultsDir);
    ZYJobStatus status = 1;
    CKoError e = m_scanErrors.ReadAndSendScanErrorJPR(status, &client);
    m_summary.unreadable = client.unreadable;
    m_summary.refused = client.refused;
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot raise the scan errors");
    return CKoError::Success();
}

CKoError CBackupRun::CheckJobDestination(const SDestIdentity& dest) {
    const SScanRecord& scan = m_state.lastScan;
    SDestIdentity recorded;
    CKoError e = m_cycle.GetBackupDest(scan.jobId, recorded);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (!recorded.id.empty() && !(recorded == dest))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_BAD_ARGUMENTS,
                                       "The backup of job %lld went to %s, another destination than %s; continue it there",
                                       scan.jobId, recorded.path.c_str(), dest.path.c_str());
    if (!scan.full) {
        SDestIdentity baseline;
        e = m_cycle.GetBackupDest(scan.baselineJobId, baseline);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (!(baseline == dest) || baseline.id.empty())
            return FXErrorUtil::ErrorWin32(
                ZY_HERE, ZyWin32::ERROR_BAD_ARGUMENTS,
                "%s has never received job %lld, which incremental job %lld builds on (it went to %s); back up to that "
                "destination, or run a full scan (--level full) to back up to this one",
                dest.path.c_str(), scan.baselineJobId, scan.jobId, baseline.path.empty() ? "no destination" : baseline.path.c_str());
    }
    if (recorded.id.empty()) {
        e = m_cycle.RecordBackupDest(scan.jobId, dest);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    return CKoError::Success();
}

// The readers stopped part-way: the job ends as stopped, with where each collect file got to as
// its restart string and in the restart map a commit reads ("<collect number> <offset>").
CKoError CBackupRun::EndStopped() {
    std::vector<std::pair<unsigned, CRestartMapFileEntry>> entries;
    CKoError e = m_restartMap.PopulateEntries(entries);
    if (e.IsError()) return e.Push(ZY_HERE);
    std::vector<std::pair<std::string, int64_t>> offsets;
    for (const auto& [id, entry] : entries) offsets.emplace_back(entry.GetCollectFilePath(), entry.GetRestartOffset());
    e = m_cycle.RecordStop(m_state.lastScan.jobId, m_state.lastScan.full, m_folder, offsets);
    if (e.IsError()) return e.Push(ZY_HERE);
    m_summary.stopped = true;
    return CKoError::Success();
}

CKoError CBackupRun::EndSuccessful() {
    const SScanRecord& scan = m_state.lastScan;
    // The next scan learns it, promotes the job and removes what its readers read.
    CKoError e = m_cycle.EndJob(scan.jobId, EJobDisposition::Successful, std::string());
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CBackupRun::Run() {
    const SScanRecord& scan = m_state.lastScan;
    if (!m_state.hasLastScan || scan.collectInfoFile.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "No scan has completed in %s",
                                       m_options.resultsDir.c_str());
    if (scan.contentRoots.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "The job state names no content roots (written by an older fsscan); run a scan first");
    m_summary.jobId = scan.jobId;
    SJobManagerJob job;
    CKoError e = m_cycle.JobManager().GetJob(scan.jobId, job);
    if (e.IsError()) return e.Push(ZY_HERE, "The job manager does not know job %lld", scan.jobId);
    std::string realDest;
    e = CheckDestination(realDest);
    SDestIdentity dest;
    if (e.IsSuccess()) e = CJobCycle::IdentifyDest(realDest, dest);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (IsSuccessfulDisposition(job.disposition)) {
        SDestIdentity recorded;
        e = m_cycle.GetBackupDest(scan.jobId, recorded);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (!(recorded == dest))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_BAD_ARGUMENTS,
                                           "Job %lld was backed up to %s, not to %s; run a full scan to back up to %s",
                                           scan.jobId, recorded.path.c_str(), realDest.c_str(), realDest.c_str());
        m_summary.alreadyDone = true;
        return CKoError::Success();
    }
    if (job.disposition != EJobDisposition::Running && job.disposition != EJobDisposition::Stopped)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "Job %lld ended as %s and cannot be backed up; run a new scan", scan.jobId,
                                       AsString(job.disposition));
    e = CheckJobDestination(dest);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (job.disposition == EJobDisposition::Stopped) {
        e = m_cycle.EndJob(scan.jobId, EJobDisposition::Running, "continued");
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    e = m_mirror.Open(realDest);
    if (e.IsSuccess()) e = Prepare();
    if (e.IsSuccess()) e = m_index.Open(m_options.resultsDir, scan.jobId, scan.contentRoots);
    if (e.IsSuccess()) e = StartReaders();
    m_progress.Finish(m_lines, m_counters.files + m_counters.folders);
    if (e.IsSuccess() && m_failed) e = m_failure;
    if (e.IsError()) {
        // Every item recorded is in the mirror, however the readers ended.
        if (m_index.IsOpen()) m_index.Close().IgnoreError();
        // A rerun continues it; a new scan counts it as failed.
        m_cycle.EndJob(scan.jobId, EJobDisposition::Stopped, "failed: " + e.GetMessage()).IgnoreError();
        return e.Push(ZY_HERE, "Backup stopped; run it again to continue");
    }
    // Stopped with every collect file read to its end is a whole backup.
    if (m_stopped || m_finishedNow < m_pending) {
        e = m_index.Close();
        if (e.IsSuccess()) e = m_store.Close();
        if (e.IsSuccess()) e = EndStopped();
        if (e.IsError()) return e.Push(ZY_HERE);
    } else {
        e = FinalPass();
        if (e.IsSuccess()) e = m_index.Close();
        if (e.IsSuccess()) e = m_store.Close();
        if (e.IsSuccess() && m_options.preserveAtime) e = FoldChangeTimes();
        if (e.IsSuccess()) e = RaiseScanErrors();
        if (e.IsSuccess()) e = EndSuccessful();
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    m_summary.files = m_counters.files;
    m_summary.folders = m_counters.folders;
    m_summary.links = m_counters.links;
    m_summary.others = m_counters.others;
    m_summary.bytes = m_counters.bytes;
    m_summary.deleted = m_counters.deleted;
    m_summary.vanished = m_counters.vanished;
    m_summary.atimesPreserved = m_atimesPreserved;
    return CKoError::Success();
}

}  // namespace

CKoError CBackupJob::Run() {
    CTimeStamp start = CTimeStamp::Now();
    CKoError e = FXPath::MakeRealPath(m_options.resultsDir, m_options.resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE, "No job-results folder");
    FXFolderLock lock;
    e = LockResultsFolder(m_options.resultsDir, lock);
    if (e.IsError()) return e.Push(ZY_HERE);
    CScanJobState state;
    e = state.Load(m_options.resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE);
    CJobCycle cycle;
    e = cycle.Open(m_options.resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE);
    g_stopRequested.store(false);
    struct sigaction sa{}, oldInt{}, oldTerm{};
    sa.sa_handler = OnStopSignal;
    sigaction(SIGINT, &sa, &oldInt);
    sigaction(SIGTERM, &sa, &oldTerm);
    CBackupRun run(m_options, m_summary, state, cycle);
    e = run.Run();
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    m_summary.seconds = static_cast<double>(CTimeStamp::Now().AsUnixMicroseconds() - start.AsUnixMicroseconds()) / 1e6;
    return e;
}
