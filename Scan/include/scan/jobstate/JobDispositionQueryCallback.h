// Answers the state manager's question whether a job succeeded, by asking the job manager
// (CJobClientHelper) and remembering the answers.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "core/KoError.h"

class CJobDispositionQueryCallback {
public:
    explicit CJobDispositionQueryCallback(std::string serverName) : m_serverName(std::move(serverName)) {}
    virtual ~CJobDispositionQueryCallback() = default;

    // Answers known in advance; a job in both sets is successful.
    virtual void SetKnownSuccessfulJobs(const std::set<int64_t>& jobIds);
    virtual void SetKnownFailedJobs(const std::set<int64_t>& jobIds);
    // Sub-status 1 or 3 is successful, 0 (the job has not ended) is Win32 774, any other value is
    // failed. A job the job manager does not know is failed too: nothing says its data is in
    // the backup. A job manager that cannot be reached is an error.
    virtual CKoError QueryJobDisposition(int64_t jobId, bool& successful);

    const std::string& GetServerName() const { return m_serverName; }

private:
    std::string m_serverName;
    std::set<int64_t> m_knownSuccessful;
    std::set<int64_t> m_knownFailed;
};
