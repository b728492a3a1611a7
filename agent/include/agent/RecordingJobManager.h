// An in-memory job manager for tests: it keeps the same rules as the real one, records every
// call as one line ("BeginJob 7 2", "SetJobDisposition 7 stopped", ...), lets a test put jobs in
// any state directly, and can fail the next call of an operation.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "agent/JobManager.h"

class CRecordingJobManager : public IJobManager {
public:
    CKoError BeginJob(int64_t jobId, int backupLevel) override;
    CKoError SetJobDisposition(int64_t jobId, EJobDisposition disposition, const std::string& detail) override;
    CKoError SetJobPhase(int64_t jobId, int phase) override;
    CKoError SetRestartString(int64_t jobId, const std::string& restartString) override;
    CKoError GetJob(int64_t jobId, SJobManagerJob& job) override;
    CKoError ListJobs(std::vector<SJobManagerJob>& jobs) override;

    // Puts a job as given, without the rules.
    void Preset(const SJobManagerJob& job);
    // The next call of `operation` ("GetJob", "BeginJob", ...) fails with `error`.
    void FailNext(const std::string& operation, CKoError error);

    std::vector<std::string> Calls() const;
    void ClearCalls();

private:
    CKoError Enter(const std::string& operation, const std::string& call);
    CKoError Find(int64_t jobId, SJobManagerJob*& job);

    mutable std::mutex m_mutex;
    std::map<int64_t, SJobManagerJob> m_jobs;
    std::vector<std::string> m_calls;
    std::map<std::string, CKoError> m_failures;
};
