// Stand-ins for the services a restore process gets from the agent: the job-control client it
// asks whether the job must stop, and the store-results object that says where the restore's
// job results live and whether the restore is a task of a distributed restore.
#pragma once

#include <atomic>
#include <string>

#include "core/KoError.h"

class ZYJobControlClient {
public:
    virtual ~ZYJobControlClient() = default;
    // True once the job manager asked the job to stop (suspend or kill).
    virtual bool IsJobInterrupted() = 0;
};

// Asks the job manager through a marker file: the job must stop once "<folder>/JobInterrupted"
// exists (the job manager's side creates it).
class ZYFileJobControlClient : public ZYJobControlClient {
public:
    explicit ZYFileJobControlClient(std::string folder);
    bool IsJobInterrupted() override;
    const std::string& MarkerPath() const { return m_marker; }

private:
    std::string m_marker;
};

// Answers "stop" from its Nth question on (0: never); counts the questions.
class ZYCountingJobControlClient : public ZYJobControlClient {
public:
    explicit ZYCountingJobControlClient(long stopAt = 0) : m_stopAt(stopAt) {}
    bool IsJobInterrupted() override { return m_stopAt > 0 && ++m_asked >= m_stopAt; }
    long Asked() const { return m_asked; }

private:
    long m_stopAt;
    std::atomic<long> m_asked{0};
};

class ZYStoreResults {
public:
    ZYStoreResults() = default;
    explicit ZYStoreResults(std::string jobResultsDir, bool distributed = false)
        : m_jobResultsDir(std::move(jobResultsDir)), m_distributed(distributed) {}
    // Empty when the restore has none.
    const std::string& GetJobResultsDirectory() const { return m_jobResultsDir; }
    bool IsDistributedRestore() const { return m_distributed; }
    // The restore's results, in the job-results folder.
    std::string GetRestoreOutPath() const { return m_jobResultsDir + "/restore.out"; }

private:
    std::string m_jobResultsDir;
    bool m_distributed = false;
};
