#include "BackupJob.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "CollectLine.h"
#include "CommandLine.h"
#include "JobState.h"
#include "Mirror.h"
#include "Progress.h"
#include "agent/JobClient.h"
#include "core/File.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/Sync.h"
#include "core/TimeStamp.h"
#include "scan/collect/CollectFileReader.h"
#include "scan/collect/CollectFilesInfo.h"
#include "scan/collect/CollectInfoManager.h"
#include "scan/jobstate/RestartMapFileHandler.h"
#include "scan/jobstate/ScanErrorFileHandler.h"

namespace {

// The restart offset of a collect file that has been read to its end.
constexpr int64_t kFinished = -999;
// The job status an unreadable item implies: the job completes, with errors.
constexpr uint32_t kCompletedWithErrors = 14;

// Counts what it raises, so that the summary can say how many pending causes there were.
class CCountingJobClient : public ZYFileBkpJobClient {
public:
    using ZYFileBkpJobClient::ZYFileBkpJobClient;
    uint64_t raised = 0;

protected:
    CKoError RaisePendingCause(const ZYPendingCause& cause) override {
        ++raised;
        return ZYFileBkpJobClient::RaisePendingCause(cause);
    }
};

class CBackupRun {
public:
    CBackupRun(const SBackupJobOptions& options, SBackupJobSummary& summary)
        : m_options(options), m_summary(summary), m_mirror(options.dest), m_manager(kFinished, 0),
          m_scanErrors(options.resultsDir) {}

    CKoError Run();

private:
    CKoError Prepare(CScanJobState& state);
    void Reader();
    CKoError ReadCollect(const CollectFileInfo& info);
    CKoError Apply(const SCollectLine& line);
    CKoError RecordUnreadable(const std::string& path, const std::string& reason);
    CKoError SetFolderAttributes();
    CKoError RaiseScanErrors();
    void Fail(CKoError error);

    const SBackupJobOptions& m_options;
    SBackupJobSummary& m_summary;
    CMirror m_mirror;
    CRestartMapFileHandler m_restartMap;
    CollectInfoManager m_manager;
    std::vector<std::string> m_collects;
    SMirrorCounters m_counters;
    CProgress m_progress{"done"};
    std::atomic<uint64_t> m_lines{0};

    std::mutex m_errorMutex;  // the scan-error file and the first failure
    CScanErrorFileHandler m_scanErrors;
    CKoError m_failure;
    std::atomic<bool> m_failed{false};
};

void CBackupRun::Fail(CKoError error) {
    std::lock_guard<std::mutex> lock(m_errorMutex);
    if (!m_failed.exchange(true)) m_failure = std::move(error);
}

CKoError CBackupRun::Prepare(CScanJobState& state) {
    const SScanRecord& scan = state.lastScan;
    m_summary.jobId = scan.jobId;
    m_summary.restarted = state.backupJobId == scan.jobId;
    if (!m_summary.restarted) {
        // A new backup: earlier scan errors belong to an earlier job.
        FXFile::RemoveFile(m_scanErrors.GetFilePath()).IgnoreError();
        state.backupJobId = scan.jobId;
        state.backupDone = false;
        CKoError e = state.Save(m_options.resultsDir);
        if (e.IsError()) return e.Push(ZY_HERE);
    }
    CKoError e = m_restartMap.Init(m_options.resultsDir, scan.full, !m_summary.restarted);
    if (e.IsError() && m_summary.restarted) {
        ZYLOG(1, "No collect map to restart from; reading every collect file from its start");
        e = m_restartMap.Init(m_options.resultsDir, scan.full, true);
    }
    if (e.IsError()) return e.Push(ZY_HERE);

    std::shared_ptr<CCollectFilesInfo> description;
    e = CCollectFilesInfo::CreateCollectFileInfo(description);
    if (e.IsSuccess()) e = description->LoadFromFile(FXPath::Join(m_options.resultsDir, scan.collectInfoFile));
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read the collect-files description of job %lld", scan.jobId);
    FileScan::CollectInfo info;
    description->GetCollectInfo(info);
    if (!m_manager.PopulateFromCollectInfo(info, m_restartMap, "backup", m_collects))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE, "Cannot register the collect files");

    // Where the previous attempt got to.
    std::vector<std::pair<unsigned, CRestartMapFileEntry>> entries;
    e = m_restartMap.PopulateEntries(entries);
    if (e.IsError()) return e.Push(ZY_HERE);
    for (const auto& [id, entry] : entries) {
        int64_t offset = entry.GetRestartOffset();
        if (offset == kFinished || offset > 0) m_manager.SetCollectFileStartIndexById(static_cast<int32_t>(id), offset);
    }
    e = m_restartMap.FlushToFile();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CBackupRun::RecordUnreadable(const std::string& path, const std::string& reason) {
    std::fprintf(stderr, "fsscan: cannot back up %s: %s\n", path.c_str(), reason.c_str());
    CScanErrorFileData data;
    data.messageId = CBackupJob::kItemUnreadableMessageId;
    data.arguments = path + "|" + reason;
    data.jobStatus = kCompletedWithErrors;
    std::lock_guard<std::mutex> lock(m_errorMutex);
    CKoError e = m_scanErrors.WriteMessage(data);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot record a scan error");
    return CKoError::Success();
}

CKoError CBackupRun::Apply(const SCollectLine& line) {
    if (line.kind != ECollectLineKind::Item) return m_mirror.Remove(line.path, m_counters);
    bool sourceError = false;
    std::string reason;
    CKoError e = m_mirror.CopyItem(line.path, sourceError, reason, m_counters);
    if (e.IsError()) return e;
    if (sourceError) return RecordUnreadable(line.path, reason);
    return CKoError::Success();
}

CKoError CBackupRun::ReadCollect(const CollectFileInfo& info) {
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
    for (uint64_t n = 1; !m_failed.load(std::memory_order_relaxed); ++n) {
        e = reader.GetNextLine(name);
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NO_MORE_ITEMS)) return CKoError::Success();
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot read collect file, FileName=[%s]", path.c_str());
        if (ParseCollectLine(name, line)) {
            e = Apply(line);
            if (e.IsError()) return e.Push(ZY_HERE);
        } else {
            ZYLOG_ERROR("Not an item line, CollectFile=[%s], Offset=[%lld]", path.c_str(), reader.GetCurrentItemPosition());
        }
        m_progress.Update(++m_lines, m_counters.files + m_counters.folders);
        if (n % m_options.checkpointItems == 0) {
            e = m_restartMap.UpdateRestartOffset(restartId, reader.GetCurrentPosition());
            if (e.IsSuccess()) e = m_restartMap.FlushToFile();
            if (e.IsError()) return e.Push(ZY_HERE, "Cannot record the restart offset");
        }
    }
    return CKoError::Success();
}

void CBackupRun::Reader() {
    std::string last;
    CollectFileInfo info;
    while (!m_failed.load() &&
           m_manager.GetNextCollectToProcess(info, COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL, last)) {
        CKoError e = ReadCollect(info);
        if (e.IsSuccess()) {
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
}

// Folder modes and times, once every entry is in place (adding an entry changes a folder's
// time). Read again from the collect files so that it also happens after a restart.
CKoError CBackupRun::SetFolderAttributes() {
    std::string name, parent, leaf;
    SCollectLine line;
    for (const std::string& path : m_collects) {
        CCollectFileReader reader(path);
        reader.SetHasStartCharacters(false);
        CKoError e = reader.OpenCollectFile();
        if (e.IsError()) return e.Push(ZY_HERE);
        for (;;) {
            e = reader.GetNextLine(name);
            if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_NO_MORE_ITEMS)) break;
            if (e.IsError()) return e.Push(ZY_HERE);
            if (!ParseCollectLine(name, line)) continue;
            if (line.kind == ECollectLineKind::Item) {
                if (line.folder) e = m_mirror.ApplyFolderAttributes(line.path);
            } else if (FXPath::SplitParentPath(line.path, parent, leaf).IsSuccess()) {
                e = m_mirror.ApplyFolderAttributes(parent);
            }
            if (e.IsError()) return e.Push(ZY_HERE);
        }
    }
    return CKoError::Success();
}

CKoError CBackupRun::RaiseScanErrors() {
    if (!FXFile::DoesFileExist(m_scanErrors.GetFilePath())) return CKoError::Success();
    CCountingJobClient client(m_options.resultsDir);
    ZYJobStatus status = 1;
    CKoError e = m_scanErrors.ReadAndSendScanErrorJPR(status, &client);
    m_summary.unreadable = client.raised;
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot raise the scan errors");
    return CKoError::Success();
}

CKoError CBackupRun::Run() {
    CScanJobState state;
    CKoError e = state.Load(m_options.resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (!state.hasLastScan || state.lastScan.collectInfoFile.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "No scan has completed in %s",
                                       m_options.resultsDir.c_str());
    if (state.backupJobId == state.lastScan.jobId && state.backupDone) {
        m_summary.jobId = state.lastScan.jobId;
        m_summary.alreadyDone = true;
        return CKoError::Success();
    }
    if (state.backupJobId != 0 && state.backupJobId != state.lastScan.jobId && !state.backupDone)
        std::fprintf(stderr, "fsscan: warning: the backup of job %lld never finished; %s may lack its changes\n",
                     state.backupJobId, m_options.dest.c_str());
    e = FXFile::CreateFoldersIteratively(m_options.dest);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot create the destination, Folder=[%s]", m_options.dest.c_str());
    e = Prepare(state);
    if (e.IsError()) return e.Push(ZY_HERE);

    std::vector<std::thread> readers;
    for (unsigned i = 0; i < m_options.streams; ++i) readers.emplace_back([this] { Reader(); });
    for (std::thread& t : readers) t.join();
    m_progress.Finish(m_lines, m_counters.files + m_counters.folders);
    if (m_failed) return m_failure.Push(ZY_HERE, "Backup stopped; run it again to continue");

    e = SetFolderAttributes();
    if (e.IsSuccess()) e = RaiseScanErrors();
    if (e.IsError()) return e.Push(ZY_HERE);
    state.backupDone = true;
    e = state.Save(m_options.resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE);

    m_summary.files = m_counters.files;
    m_summary.folders = m_counters.folders;
    m_summary.links = m_counters.links;
    m_summary.others = m_counters.others;
    m_summary.bytes = m_counters.bytes;
    m_summary.deleted = m_counters.deleted;
    m_summary.vanished = m_counters.vanished;
    return CKoError::Success();
}

void PrintBackupHelp(FILE* out) {
    std::fprintf(out,
                 "usage: fsscan backup --results DIR --dest DEST [--streams N] [--checkpoint ITEMS]\n"
                 "\n"
                 "Reads the collect files of the last scan of DIR with N reader threads (default 1)\n"
                 "and keeps DEST a mirror of the scanned content: every item is copied to DEST +\n"
                 "its path (content, mode and modification time), deleted items are removed.\n"
                 "Each reader records its place every ITEMS items (default 2000): a backup that\n"
                 "stopped, however it stopped, continues from there when run again. Items that\n"
                 "cannot be read are raised as pending causes (DIR/PendingCauses.txt).\n"
                 "Exit codes: 0 success, 1 finished with items it could not read, 2 failed.\n");
}

bool ParseCount(const std::string& text, unsigned& out) {
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v == 0 || v > 1000000) return false;
    out = static_cast<unsigned>(v);
    return true;
}

}  // namespace

CKoError CBackupJob::Run() {
    CTimeStamp start = CTimeStamp::Now();
    CKoError e = FXPath::MakeRealPath(m_options.resultsDir, m_options.resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE, "No job-results folder");
    ZyNamedMutex lock("fsscan" + m_options.resultsDir);
    e = lock.lock(0);
    if (e.IsError())
        return e.Push(ZY_HERE, "Another job is using the job-results folder, Folder=[%s]", m_options.resultsDir.c_str());
    CBackupRun run(m_options, m_summary);
    e = run.Run();
    m_summary.seconds = static_cast<double>(CTimeStamp::Now().AsUnixMicroseconds() - start.AsUnixMicroseconds()) / 1e6;
    return e;
}

int RunBackupCommand(int argc, char** argv) {
    CCommandLine cl;
    if (!cl.Parse(argc, argv, {"--results", "--dest", "--streams", "--checkpoint"}, {"--help", "-h"})) {
        std::fprintf(stderr, "fsscan backup: %s\n", cl.Error().c_str());
        PrintBackupHelp(stderr);
        return 2;
    }
    if (cl.Has("--help") || cl.Has("-h")) {
        PrintBackupHelp(stdout);
        return 0;
    }
    SBackupJobOptions options;
    options.resultsDir = cl.Get("--results");
    options.dest = cl.Get("--dest");
    if (options.resultsDir.empty() || options.dest.empty() ||
        (cl.Has("--streams") && !ParseCount(cl.Get("--streams"), options.streams)) ||
        (cl.Has("--checkpoint") && !ParseCount(cl.Get("--checkpoint"), options.checkpointItems))) {
        std::fprintf(stderr, "fsscan backup: --results and --dest are required; --streams and --checkpoint take a positive number\n");
        return 2;
    }
    FXPath::RemoveTrailingDelimiter(options.dest);
    if (options.dest == "/") {
        std::fprintf(stderr, "fsscan backup: the destination cannot be /\n");
        return 2;
    }

    CBackupJob job(options);
    CKoError e = job.Run();
    const SBackupJobSummary& s = job.Summary();
    if (e.IsError()) {
        std::fprintf(stderr, "fsscan: backup failed: %s\n", e.AsString().c_str());
        return 2;
    }
    if (s.alreadyDone) {
        std::printf("job %lld is already backed up\n", s.jobId);
        return 0;
    }
    double rate = s.seconds > 0 ? static_cast<double>(s.bytes) / s.seconds / 1e6 : 0.0;
    std::printf("backup of job %lld%s: %s files, %s folders, %s links, %s deleted, %s bytes, %.2f s, %.1f MB/s, %u streams%s\n",
                s.jobId, s.restarted ? " (continued)" : "", Thousands(s.files).c_str(), Thousands(s.folders).c_str(),
                Thousands(s.links + s.others).c_str(), Thousands(s.deleted).c_str(), Thousands(s.bytes).c_str(),
                s.seconds, rate, options.streams,
                s.unreadable ? (", " + Thousands(s.unreadable) + " items could not be read").c_str() : "");
    return s.unreadable ? 1 : 0;
}
