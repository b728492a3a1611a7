#include "agent/JobClient.h"

#include <cerrno>
#include <cstdio>
#include <utility>

#include "core/File.h"
#include "core/Path.h"
#include "core/StringUtil.h"
#include "core/TimeStamp.h"

CKoError ZYBkpJobClient::setPendingCause(uint32_t messageId, const std::vector<int64_t>* jobList, bool jobListFlag,
                                         uint32_t eventMessageType, int value1, int value2, int value3,
                                         bool raiseEvent, uint32_t alertColour, uint32_t flags, int extra1,
                                         int extra2) {
    ZYPendingCause cause;
    cause.messageId = messageId;
    if (jobList) cause.jobList = *jobList;
    cause.jobListFlag = jobListFlag;
    cause.eventMessageType = eventMessageType;
    cause.value1 = value1;
    cause.value2 = value2;
    cause.value3 = value3;
    cause.raiseEvent = raiseEvent;
    cause.alertColour = alertColour;
    cause.flags = flags;
    cause.extra1 = extra1;
    cause.extra2 = extra2;
    // The arguments belong to this cause whatever happens to it; the next one starts empty.
    cause.args.swap(m_event.m_args);
    m_event.m_args.clear();
    return RaisePendingCause(cause);
}

std::vector<ZYPendingCause> ZYRecordingBkpJobClient::getPendingCauses() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_causes;
}

void ZYRecordingBkpJobClient::clearPendingCauses() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_causes.clear();
}

CKoError ZYRecordingBkpJobClient::RaisePendingCause(const ZYPendingCause& cause) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_causes.push_back(cause);
    return CKoError::Success();
}

ZYFileBkpJobClient::ZYFileBkpJobClient(const std::string& folder) : m_path(FXPath::Join(folder, "PendingCauses.txt")) {}

namespace {
// Keeps one cause on one line whatever its arguments hold.
void AppendOneLine(std::string& out, std::string_view text) {
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
}
}  // namespace

std::string ZYFileBkpJobClient::FormatPendingCause(const ZYPendingCause& cause) {
    std::string line = FXString::Format("MessageId=[%u] ArgCount=[%zu] Args=[", cause.messageId, cause.args.size());
    for (size_t i = 0; i < cause.args.size(); ++i) {
        if (i > 0) line += '|';
        AppendOneLine(line, cause.args[i]);
    }
    line += "] JobList=[";
    if (cause.jobList) {
        for (size_t i = 0; i < cause.jobList->size(); ++i) {
            if (i > 0) line += ',';
            line += std::to_string((*cause.jobList)[i]);
        }
    } else {
        line += "none";
    }
    line += FXString::Format("] JobListFlag=[%d] EventMessageType=[%u] Values=[%d,%d,%d] RaiseEvent=[%d] "
                             "AlertColour=[%u] Flags=[%u] Extra=[%d,%d]",
                             cause.jobListFlag ? 1 : 0, cause.eventMessageType, cause.value1, cause.value2,
                             cause.value3, cause.raiseEvent ? 1 : 0, cause.alertColour, cause.flags, cause.extra1,
                             cause.extra2);
    return line;
}

CKoError ZYFileBkpJobClient::RaisePendingCause(const ZYPendingCause& cause) {
    std::string line = CTimeStamp::Now().AsString() + " " + FormatPendingCause(cause) + "\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    FXFileHandle file;
    CKoError e = FXFile::zyfopen(m_path, "a", file);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open pending causes file, FileName=[%s]", m_path.c_str());
    if (std::fwrite(line.data(), 1, line.size(), file.Get()) != line.size())
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Failed to write pending cause, FileName=[%s]", m_path.c_str());
    e = file.Close();
    if (e.IsError()) return e.Push(ZY_HERE, "Failed to write pending cause, FileName=[%s]", m_path.c_str());
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------
// The job-manager side of the job client.

CKoError ZYBkpJobClient::RaisePendingCause(const ZYPendingCause& cause) {
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED,
                                   "This job client cannot raise pending causes, MessageId=[%u]", cause.messageId);
}

CKoError ZYBkpJobClient::init(int64_t jobId, const std::string& serverName, int platformType) {
    std::shared_ptr<IJobManager> jobManager;
    CKoError e = ZYJobManagerDirectory::Find(serverName, jobManager);
    if (e.IsError())
        return e.Push(ZY_HERE, "Cannot reach the job manager, JobId=[%lld], ServerName=[%s], PlatformType=[%d]",
                      static_cast<long long>(jobId), serverName.c_str(), platformType);
    m_jobManager = std::move(jobManager);
    m_jobId = jobId;
    m_platformType = platformType;
    return CKoError::Success();
}

CKoError ZYBkpJobClient::JobManager(const FXCodeLocation& here, std::shared_ptr<IJobManager>& jobManager) const {
    if (!m_jobManager)
        return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_INVALID_HANDLE, "The job client is not initialised");
    jobManager = m_jobManager;
    return CKoError::Success();
}

CKoError ZYBkpJobClient::getRestartString(int lookupType, std::string& restartString) {
    restartString.clear();
    std::shared_ptr<IJobManager> jm;
    CKoError e = JobManager(ZY_HERE, jm);
    if (e.IsError()) return e;
    if (lookupType != 0)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED, "Unknown restart string lookup type [%d]",
                                       lookupType);
    SJobManagerJob job;
    e = jm->GetJob(m_jobId, job);
    if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld]", static_cast<long long>(m_jobId));
    restartString = job.restartString;
    return CKoError::Success();
}

CKoError ZYBkpJobClient::setRestartString(const std::string& restartString) {
    std::shared_ptr<IJobManager> jm;
    CKoError e = JobManager(ZY_HERE, jm);
    if (e.IsSuccess()) e = jm->SetRestartString(m_jobId, restartString);
    if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld]", static_cast<long long>(m_jobId));
    return CKoError::Success();
}

CKoError ZYBkpJobClient::setJobDisposition(EJobDisposition disposition, const std::string& detail) {
    std::shared_ptr<IJobManager> jm;
    CKoError e = JobManager(ZY_HERE, jm);
    if (e.IsSuccess()) e = jm->SetJobDisposition(m_jobId, disposition, detail);
    if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld]", static_cast<long long>(m_jobId));
    return CKoError::Success();
}

CKoError ZYBkpJobClient::setJobPhase(int phase) {
    std::shared_ptr<IJobManager> jm;
    CKoError e = JobManager(ZY_HERE, jm);
    if (e.IsSuccess()) e = jm->SetJobPhase(m_jobId, phase);
    if (e.IsError()) return e.Push(ZY_HERE, "JobId=[%lld]", static_cast<long long>(m_jobId));
    return CKoError::Success();
}
