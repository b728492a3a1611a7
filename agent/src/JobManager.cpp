#include "agent/JobManager.h"

#include <mutex>

namespace {

struct SDispositionName {
    EJobDisposition value;
    const char* name;
};
constexpr SDispositionName kNames[] = {
    {EJobDisposition::Running, "running"},     {EJobDisposition::Successful, "successful"},
    {EJobDisposition::Failed, "failed"},       {EJobDisposition::Committed, "committed"},
    {EJobDisposition::Stopped, "stopped"},     {EJobDisposition::Killed, "killed"},
};

std::mutex g_directoryMutex;
std::map<std::string, std::shared_ptr<IJobManager>>& Directory() {
    static auto* directory = new std::map<std::string, std::shared_ptr<IJobManager>>();
    return *directory;
}

}  // namespace

const char* AsString(EJobDisposition disposition) {
    for (const SDispositionName& n : kNames)
        if (n.value == disposition) return n.name;
    return "unknown";
}

bool ParseJobDisposition(const std::string& text, EJobDisposition& disposition) {
    for (const SDispositionName& n : kNames)
        if (text == n.name) {
            disposition = n.value;
            return true;
        }
    return false;
}

CKoError ZYJobManagerRules::CheckBegin(const std::map<int64_t, SJobManagerJob>& known, int64_t jobId,
                                       std::vector<int64_t>& killed) {
    killed.clear();
    if (jobId <= 0)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "Job ids are positive, JobId=[%lld]", static_cast<long long>(jobId));
    if (known.count(jobId))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_ALREADY_EXISTS,
                                       "Job id [%lld] was already used for this subclient; every job needs a new id",
                                       static_cast<long long>(jobId));
    if (!known.empty() && known.rbegin()->first > jobId)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "Job id [%lld] is lower than job id [%lld] already started for this subclient; "
                                       "job ids must increase",
                                       static_cast<long long>(jobId), static_cast<long long>(known.rbegin()->first));
    for (const auto& [id, job] : known)
        if (job.disposition == EJobDisposition::Running) killed.push_back(id);
    return CKoError::Success();
}

CKoError ZYJobManagerRules::CheckTransition(const SJobManagerJob& job, EJobDisposition to) {
    const EJobDisposition from = job.disposition;
    bool allowed = false;
    switch (from) {
        case EJobDisposition::Running:
            allowed = to != EJobDisposition::Running && to != EJobDisposition::Committed;
            break;
        case EJobDisposition::Stopped:
            allowed = to == EJobDisposition::Running || to == EJobDisposition::Committed ||
                      to == EJobDisposition::Stopped;
            break;
        default:
            // An ended job stays as it ended; saying it again is harmless.
            allowed = to == from;
            break;
    }
    if (allowed) return CKoError::Success();
    if (to == EJobDisposition::Committed)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                       "Only a stopped job can be committed, JobId=[%lld], Disposition=[%s]",
                                       static_cast<long long>(job.jobId), AsString(from));
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER,
                                   "Job already ended, JobId=[%lld], Disposition=[%s], Requested=[%s]",
                                   static_cast<long long>(job.jobId), AsString(from), AsString(to));
}

void ZYJobManagerDirectory::Register(const std::string& serverName, std::shared_ptr<IJobManager> jobManager) {
    std::lock_guard<std::mutex> lock(g_directoryMutex);
    Directory()[serverName] = std::move(jobManager);
}

void ZYJobManagerDirectory::Unregister(const std::string& serverName) {
    std::lock_guard<std::mutex> lock(g_directoryMutex);
    Directory().erase(serverName);
}

CKoError ZYJobManagerDirectory::Find(const std::string& serverName, std::shared_ptr<IJobManager>& jobManager) {
    std::lock_guard<std::mutex> lock(g_directoryMutex);
    auto it = Directory().find(serverName);
    if (it == Directory().end() || !it->second)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_FOUND, "No job manager known by the name [%s]",
                                       serverName.c_str());
    jobManager = it->second;
    return CKoError::Success();
}

ZYScopedJobManager::ZYScopedJobManager(std::string serverName, std::shared_ptr<IJobManager> jobManager)
    : m_serverName(std::move(serverName)) {
    ZYJobManagerDirectory::Register(m_serverName, std::move(jobManager));
}

ZYScopedJobManager::~ZYScopedJobManager() { ZYJobManagerDirectory::Unregister(m_serverName); }
