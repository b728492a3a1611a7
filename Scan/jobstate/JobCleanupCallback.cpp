#include "scan/jobstate/JobCleanupCallback.h"

#include <cstdlib>
#include <vector>

#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "scan/jobstate/JobFiles.h"

class CJobCleanupCallbackPrivate {
public:
    std::string m_jobFolderRoot;
};

CJobCleanupCallback::CJobCleanupCallback() : m_private(std::make_shared<CJobCleanupCallbackPrivate>()) {}

CJobCleanupCallback::~CJobCleanupCallback() = default;

void CJobCleanupCallback::SetJobFolderRoot(const std::string& root) { m_private->m_jobFolderRoot = root; }

CKoError CJobCleanupCallback::RenameDirChange(int64_t jobId, const XJob& job, const std::string& root) {
    const long long id = static_cast<long long>(jobId);
    XDirChange dc = job.Get_DirChange();
    if (!dc.Exists())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "Job has no DirChange element, JobId=[%lld]",
                                       id);
    const std::string temp = dc.get_TempFileName();
    if (temp.empty()) {
        ZYLOG(1, "No DirChange rename is scheduled for this job, JobId=[%lld]", id);
        return CKoError::Success();
    }
    const std::string folder = dc.get_SubclientFolder();
    const std::string final = dc.get_FinalFileName();
    // The names come from a file on disk: they may only name files of the one folder.
    if (folder.empty() || !CJobFiles::IsPlainName(temp) || !CJobFiles::IsPlainName(final) ||
        (!root.empty() && (!FXPath::IsAncestorOf(root, folder, true) || folder.find("/..") != std::string::npos)))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                       "Invalid DirChange rename record, JobId=[%lld], SubclientFolder=[%s], "
                                       "TempFileName=[%s], FinalFileName=[%s]",
                                       id, folder.c_str(), temp.c_str(), final.c_str());
    const std::string from = FXPath::Join(folder, temp);
    const std::string to = FXPath::Join(folder, final);
    if (!CJobFiles::Exists(from))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND,
                                       "Job DirChange file not found, failed to rename to final name, TempFileName=[%s]",
                                       from.c_str());
    ZYLOG(1, "Renaming job DirChange file, JobId=[%lld], From=[%s], To=[%s]", id, from.c_str(), to.c_str());
    // rename(2) replaces the target in one step; removing it first would leave a moment with
    // neither file.
    CKoError e = FXEnv::Current()->RenameFile(from, to);
    if (e.IsSuccess()) e = FXEnv::Current()->SyncDir(folder);
    if (e.IsError())
        return e.Push(ZY_HERE, "Failed to rename job DirChange file, JobId=[%lld], From=[%s], To=[%s]", id, from.c_str(),
                      to.c_str());
    e = dc.Remove_TempFileName();
    if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld]", id);
    return CKoError::Success();
}

CKoError CJobCleanupCallback::PendingJobWasSuccessful(const XJobRefPtr& jobRef, const XJobPtr& job) {
    const int64_t jobId = jobRef ? jobRef->get_JobId() : (job ? job->get_JobId() : 0);
    CKoError e = job ? RenameDirChange(jobId, *job, m_private->m_jobFolderRoot)
                     : FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No job record");
    if (e.IsError()) ZYLOG_ERROR("RenameDirChange failed, error=%s", e.AsString().c_str());
    return CKoError::Success();
}

CKoError CJobCleanupCallback::CleanupUnreferencedJob(int64_t jobId, const XJobPtr& job) {
    CKoError e = CStateManagerCallback::CleanupUnreferencedJob(jobId, job);
    if (e.IsError() || m_private->m_jobFolderRoot.empty()) return e;
    e = RemoveJobFolder(m_private->m_jobFolderRoot, jobId);
    if (e.IsError())
        ZYLOG_ERROR("Cannot remove the folder of a finished job, JobId=[%lld], error=%s", static_cast<long long>(jobId),
                    e.AsString().c_str());
    return CKoError::Success();
}

std::string CJobCleanupCallback::JobFolderName(int64_t jobId) { return "J" + std::to_string(jobId); }

bool CJobCleanupCallback::ParseJobFolderName(const std::string& name, int64_t& jobId) {
    if (name.size() < 2 || name.size() > 20 || name[0] != 'J' || name[1] == '0') return false;
    for (size_t i = 1; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    jobId = std::strtoll(name.c_str() + 1, nullptr, 10);
    return JobFolderName(jobId) == name;
}

CKoError CJobCleanupCallback::RemoveJobFolder(const std::string& root, int64_t jobId) {
    FXEnv* env = FXEnv::Current();
    const std::string folder = FXPath::Join(root, JobFolderName(jobId));
    FXFileStat st;
    CKoError e = env->Stat(folder, st);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return CKoError::Success();
    if (e.IsError()) return e.Push(ZY_HERE);
    if (!st.IsDirectory())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Not a job folder, FileName=[%s]",
                                       folder.c_str());
    std::vector<std::string> names;
    e = env->GetChildren(folder, names);
    if (e.IsError()) return e.Push(ZY_HERE);
    CKoError first;
    for (const std::string& name : names) {
        const std::string path = FXPath::Join(folder, name);
        if (env->Stat(path, st).IsSuccess() && st.IsDirectory()) {
            ZYLOG_ERROR("A job folder holds a folder, left in place, FileName=[%s]", path.c_str());
            continue;
        }
        e = CJobFiles::RemoveIfPresent(path);
        if (e.IsError() && first.IsSuccess()) first = e;
    }
    if (first.IsError()) return first.Push(ZY_HERE, "Cannot empty the job folder, FileName=[%s]", folder.c_str());
    e = env->RemoveDir(folder);
    if (e.IsSuccess()) e = env->SyncDir(root);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot remove the job folder, FileName=[%s]", folder.c_str());
    ZYLOG(1, "Removed the folder of a finished job, JobId=[%lld], FileName=[%s]", static_cast<long long>(jobId),
          folder.c_str());
    return CKoError::Success();
}

CKoError CJobCleanupCallback::RemoveOrphanJobFolders(const std::string& root, const std::set<int64_t>& keep) {
    std::vector<std::string> names;
    CKoError e = FXEnv::Current()->GetChildren(root, names);
    if (e.IsError()) return e.Push(ZY_HERE);
    CKoError first;
    for (const std::string& name : names) {
        int64_t jobId = 0;
        if (!ParseJobFolderName(name, jobId) || keep.count(jobId)) continue;
        e = RemoveJobFolder(root, jobId);
        if (e.IsError() && first.IsSuccess()) first = e;
    }
    return first;
}
