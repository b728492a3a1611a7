#include "scan/job/TrueUpRepairJob.h"

#include <algorithm>

#include "core/Env.h"
#include "core/File.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/StringUtil.h"
#include "scan/collect/CollectFilesInfo.h"
#include "scan/job/ScanJob.h"

std::string CTrueUpRepairJob::CollectName(long long jobId) { return FXString::Format("CollectTrueUp_J%lld.zyf", jobId); }

CKoError CTrueUpRepairJob::NextJobId(const CScanJobState& state, long long& jobId) {
    if (state.lastJobId >= CScanJob::kMaxJobId)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "No job id left after %lld", state.lastJobId);
    jobId = std::max(state.lastJobId, state.lastScan.jobId) + 1;
    return CKoError::Success();
}

CKoError CTrueUpRepairJob::Register(const std::string& resultsDir, const CScanJobState& state, long long jobId,
                                    const std::string& collectName) {
    if (!state.hasLastScan || (state.backupJobId != state.lastScan.jobId || !state.backupDone))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "The backup of job %lld has not finished; a repair job would replace its collect files",
                                       state.lastScan.jobId);
    const std::string collectPath = FXPath::Join(resultsDir, collectName);
    const std::string infoPath = FXPath::Join(resultsDir, kCollectInfoName);
    FXFileStat st;
    CKoError e = FXEnv::Current()->Stat(collectPath, st);
    if (e.IsError()) return e.Push(ZY_HERE, "No repair collect, FileName=[%s]", collectPath.c_str());

    std::shared_ptr<CCollectFilesInfo> info;
    e = CCollectFilesInfo::CreateCollectFileInfo(info);
    FileScan::Collect collect{collectPath, FileScan::COLLECT_FILE_TYPE_REGULAR};
    if (e.IsSuccess()) e = info->AddDiskCollect("/", collect);
    if (e.IsSuccess()) e = info->SaveToFile(infoPath);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot write the collect-files description of the repair job");

    CScanJobState next = state;
    SScanRecord& record = next.lastScan;
    record.jobId = jobId;
    record.full = false;  // a full job's backup removes from the mirror what it did not collect
    record.collectFiles = {collectName};
    record.collectSizes = {st.size};
    record.collectInfoFile = kCollectInfoName;
    record.pending.clear();
    next.lastJobId = std::max(state.lastJobId, jobId);
    e = next.Save(resultsDir);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot register the repair job %lld", jobId);

    std::vector<std::string> names;
    if (FXFile::GetMatchingFiles(resultsDir, "CollectTrueUp_J*.zyf", names).IsSuccess())
        for (const std::string& name : names)
            if (name != collectName) FXFile::RemoveFile(FXPath::Join(resultsDir, name)).IgnoreError();
    ZYLOG(1, "TrueUp repair registered, JobId=[%lld], CollectFile=[%s]", jobId, collectPath.c_str());
    return CKoError::Success();
}
