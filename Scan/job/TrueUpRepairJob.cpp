#include "scan/job/TrueUpRepairJob.h"

#include <algorithm>

#include "core/Env.h"
#include "core/File.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/StringUtil.h"
#include "scan/collect/CollectFilesInfo.h"
#include "scan/job/JobCycle.h"
#include "scan/job/ScanJob.h"
#include "scan/jobstate/JobCleanupCallback.h"

std::string CTrueUpRepairJob::CollectName(long long jobId) { return FXString::Format("CollectTrueUp_J%lld.zyf", jobId); }

CKoError CTrueUpRepairJob::NextJobId(const std::string& resultsDir, long long& jobId) {
    CJobCycle cycle;
    CKoError e = cycle.Open(resultsDir);
    if (e.IsSuccess()) e = cycle.NextJobId(jobId);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (jobId > CScanJob::kMaxJobId)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "No job id left after %lld", jobId - 1);
    return CKoError::Success();
}

CKoError CTrueUpRepairJob::Register(const std::string& resultsDir, const CScanJobState& state, long long jobId,
                                    const std::string& collectName) {
    if (!state.hasLastScan || !state.backupDone)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "The backup of job %lld has not finished; a repair job would replace its collect files",
                                       state.lastScan.jobId);
    const std::string written = FXPath::Join(resultsDir, collectName);
    FXFileStat st;
    CKoError e = FXEnv::Current()->Stat(written, st);
    if (e.IsError()) return e.Push(ZY_HERE, "No repair collect, FileName=[%s]", written.c_str());

    // The repair is a job of the cycle like a scan: pending until its backup succeeds, with the
    // baseline's DirChange and start time, so the next scan goes on as if no repair had been made.
    CJobCycle cycle;
    e = cycle.Open(resultsDir);
    SScanStart start;
    if (e.IsSuccess()) e = cycle.StartScan(jobId, true, start);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot start the repair job %lld", jobId);
    if (!start.incremental || !start.baseline.found)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "No successful job to repair against (%s)", start.reason.c_str());
    const std::string folder = cycle.JobFolder(jobId);
    const std::string collectPath = FXPath::Join(folder, collectName);
    const std::string dirChangePath = FXPath::Join(folder, CJobCycle::kDirChangeTempName);
    e = FXEnv::Current()->RenameFile(written, collectPath);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot move the repair collect into its job folder");
    e = FXFile::ZYCopyFile(start.baseline.dirChangePath, dirChangePath, false);
    if (e.IsSuccess()) e = FXSyncParentDir(dirChangePath);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot copy the baseline's DirChange for the repair job");

    std::shared_ptr<CCollectFilesInfo> info;
    e = CCollectFilesInfo::CreateCollectFileInfo(info);
    FileScan::Collect collect{collectPath, FileScan::COLLECT_FILE_TYPE_REGULAR};
    if (e.IsSuccess()) e = info->AddDiskCollect("/", collect);
    if (e.IsSuccess()) e = info->SaveToFile(FXPath::Join(folder, kCollectInfoName));
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write the collect-files description of the repair job");

    SScanRecord record = start.baselineRecord;
    record.jobId = jobId;
    record.full = false;  // a full job's backup removes from the mirror what it did not collect
    record.folder = CJobCleanupCallback::JobFolderName(jobId);
    record.baselineJobId = start.baseline.jobId;
    record.dirChangeFile = CJobCycle::kDirChangeTempName;
    record.collectFiles = {collectName};
    record.collectSizes = {static_cast<unsigned long long>(st.size)};
    record.collectInfoFile = kCollectInfoName;
    e = HashFile(dirChangePath, record.dirChangeSize, record.dirChangeHash);
    if (e.IsSuccess()) e = cycle.CompleteScan(record);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot register the repair job %lld", jobId);
    ZYLOG(1, "TrueUp repair registered, JobId=[%lld], CollectFile=[%s]", jobId, collectPath.c_str());
    return CKoError::Success();
}
