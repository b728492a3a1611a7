#include "scan/job/TrueUpJob.h"

#include "agent/BackupIndex.h"
#include "agent/SQLiteIdxBrowseClient.h"
#include "core/Env.h"
#include "core/File.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/Sync.h"
#include "core/TimeStamp.h"
#include "scan/job/JobState.h"
#include "scan/job/TrueUpRepairJob.h"
#include "scan/jobstate/JobCleanupCallback.h"
#include "scan/trueup/TrueUpBrowseHandler.h"
#include "scan/trueup/TrueUpComparisonDirChangeBuilder.h"
#include "scan/trueup/TrueUpRepairCollectWriter.h"

namespace {

class CTrueUpRun {
public:
    CTrueUpRun(const STrueUpJobOptions& options, STrueUpJobSummary& summary) : m_options(options), m_summary(summary) {}
    ~CTrueUpRun() { RemoveWorkFiles(); }
    CKoError Run();

private:
    bool Container() const { return m_options.method == EDirChangeMethod::DIRCHANGE_METHOD_CONTAINER; }
    std::string WorkName(const char* base) const {
        return FXPath::Join(m_work, std::string(base) + (Container() ? ".db" : ".dc"));
    }
    CKoError CheckState();
    CKoError BuildComparison();
    CKoError Compare();
    CKoError FinishRepair();
    void RemoveWorkFiles();

    const STrueUpJobOptions& m_options;
    STrueUpJobSummary& m_summary;
    CScanJobState m_state;
    std::string m_work;
    std::unique_ptr<CTrueUpBrowseHandler> m_handler;
    std::shared_ptr<CTrueUpRepairCollectWriter> m_repair;
    long long m_repairJobId = 0;
};

CKoError CTrueUpRun::CheckState() {
    CKoError e = m_state.Load(m_options.resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE);
    const SScanRecord& scan = m_state.lastScan;
    if (!m_state.hasLastScan || scan.contentRoots.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "No scan has completed in %s",
                                       m_options.resultsDir.c_str());
    m_summary.scanJobId = scan.jobId;
    m_summary.backupPending = !m_state.backupDone;
    if (m_options.repair && m_summary.backupPending)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "The backup of job %lld has not finished; run the backup before a TrueUp repair",
                                       scan.jobId);
    const std::string index = CSQLiteBackupIndex::DefaultPathFor(m_options.resultsDir);
    if (!m_options.browseClient && !FXPath::DoesPathExist(index))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND,
                                       "No backup index, FileName=[%s]; a backup records one", index.c_str());
    return CKoError::Success();
}

// What the file system holds now, walked from each content root.
CKoError CTrueUpRun::BuildComparison() {
    CTrueUpComparisonDirChangeBuilder builder(m_options.method, WorkName("Comparison"));
    builder.SetAcceptScanErrors(true);  // counted below: the report is then partial
    CKoError e = builder.Initialize();
    for (size_t i = 0; e.IsSuccess() && i < m_state.lastScan.contentRoots.size(); ++i) {
        if (m_options.abortCheck && m_options.abortCheck->IsAborted())
            e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OPERATION_ABORTED, "TrueUp job interrupted");
        else
            e = builder.AddTree(m_state.lastScan.contentRoots[i]);
    }
    m_summary.unexamined = builder.GetScanErrors();
    if (e.IsSuccess()) e = builder.Complete();
    if (e.IsError()) {
        builder.Abandon();
        return e.Push(ZY_HERE, "Cannot write the comparison DirChange");
    }
    m_summary.walked = builder.GetItemCount();
    if (m_summary.unexamined) m_summary.partial = true;
    return CKoError::Success();
}

CKoError CTrueUpRun::Compare() {
    CTrueUpDifferenceCallbackPtr next;
    if (m_options.repair) {
        CKoError e = CTrueUpRepairJob::NextJobId(m_options.resultsDir, m_repairJobId);
        if (e.IsError()) return e.Push(ZY_HERE);
        m_repair = std::make_shared<CTrueUpRepairCollectWriter>(
            FXPath::Join(m_options.resultsDir, CTrueUpRepairJob::CollectName(m_repairJobId)));
        e = m_repair->Open();
        if (e.IsError()) return e.Push(ZY_HERE, "Cannot open the repair collect");
        next = m_repair;
    }
    auto report = std::make_shared<CTrueUpReport>(m_state.lastScan.contentRoots, m_options.onLine, next);
    CKoError e = m_handler->EnumerateDifferences(std::make_shared<CTrueUpCompareOptions>(), report, m_options.abortCheck);
    m_summary.counts = report->GetCounts();
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_OPERATION_ABORTED)) m_summary.partial = true;
    if (e.IsError()) return e.Push(ZY_HERE, "The comparison did not finish");
    return CKoError::Success();
}

// A repair only of a whole comparison, and only when there is something to repair.
CKoError CTrueUpRun::FinishRepair() {
    if (!m_repair) return CKoError::Success();
    const STrueUpRepairSummary& r = m_repair->GetSummary();
    if (m_summary.partial || r.newItems + r.modifiedItems + r.deletedItems == 0) {
        if (m_summary.partial) ZYLOG(0, "The comparison was partial: no repair job registered");
        m_repair->Abandon();
        return CKoError::Success();
    }
    CKoError e = m_repair->Commit();
    const std::string name = CTrueUpRepairJob::CollectName(m_repairJobId);
    if (e.IsSuccess()) e = CTrueUpRepairJob::Register(m_options.resultsDir, m_state, m_repairJobId, name);
    if (e.IsError()) {
        FXFile::RemoveFile(FXPath::Join(m_options.resultsDir, name)).IgnoreError();
        return e.Push(ZY_HERE);
    }
    m_summary.repairJobId = m_repairJobId;
    m_summary.repairCollect =
        FXPath::Join(FXPath::Join(m_options.resultsDir, CJobCleanupCallback::JobFolderName(m_repairJobId)), name);
    return CKoError::Success();
}

void CTrueUpRun::RemoveWorkFiles() {
    if (m_work.empty()) return;
    for (const char* base : {"TrueUp", "Comparison"}) {
        const std::string name = WorkName(base);
        for (const std::string& path : {name, name + "-wal", name + "-shm", name + ".partial"})
            FXEnv::Current()->RemoveFile(path).IgnoreError();
    }
}

CKoError CTrueUpRun::Run() {
    CKoError e = CheckState();
    if (e.IsError()) return e.Push(ZY_HERE);
    m_work = FXPath::Join(m_options.resultsDir, CTrueUpJob::kWorkFolder);
    e = FXFile::CreateFoldersIteratively(m_work);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot create the TrueUp folder, Folder=[%s]", m_work.c_str());

    m_handler = std::make_unique<CTrueUpBrowseHandler>(0, 0, 0, 0, 0, 0, std::string(), std::string(), 0,
                                                       m_options.method);
    m_handler->SetTrueUpDirChangeFileName(WorkName("TrueUp"));
    m_handler->SetTrueUpDirChangeContainerName(WorkName("TrueUp"));
    m_handler->SetComparisonDirChangeFileName(WorkName("Comparison"));
    m_handler->SetComparisonDirChangeContainerName(WorkName("Comparison"));
    m_handler->SetIndexBrowseClient(m_options.browseClient ? m_options.browseClient
                                                           : std::make_shared<CSQLiteIdxBrowseClient>(
                                                                 CSQLiteBackupIndex::DefaultPathFor(m_options.resultsDir)));
    e = m_handler->GenerateTrueUpDirChange(m_options.abortCheck);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read what the backups hold");
    e = BuildComparison();
    if (e.IsSuccess()) e = Compare();
    if (e.IsSuccess()) e = FinishRepair();
    if (e.IsError() && m_repair) m_repair->Abandon();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

}  // namespace

CKoError CTrueUpJob::Run() {
    CTimeStamp start = CTimeStamp::Now();
    m_summary = STrueUpJobSummary();
    CKoError e = FXPath::MakeRealPath(m_options.resultsDir, m_options.resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE, "No job-results folder");
    // The index and the job state must not move under the comparison, nor the repair job under
    // a backup.
    FXFolderLock lock;
    e = LockResultsFolder(m_options.resultsDir, lock);
    if (e.IsError()) return e.Push(ZY_HERE);
    {
        CTrueUpRun run(m_options, m_summary);
        e = run.Run();
    }
    m_summary.seconds = static_cast<double>(CTimeStamp::Now().AsUnixMicroseconds() - start.AsUnixMicroseconds()) / 1e6;
    return e;
}
