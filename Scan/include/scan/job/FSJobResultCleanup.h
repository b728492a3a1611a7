// Removes what a finished scan job left in its job-results folder, by backup type: the archives
// always; for a job that was not committed also its collect files (full or incremental), its
// extent tables, the index files and the stub lists. A committed job keeps its collect files,
// since the next job builds its commit collect from them.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "core/KoError.h"
#include "scan/collect/ScanJobType.h"

class CFSJobResultCleanup {
public:
    // Backup types: 1 full, 2 incremental. Reads "bDifferentialJobSupported" (FileSystemAgent).
    CFSJobResultCleanup(const std::string& jobResultsFolder, const long& backupType, const bool& committed,
                        const bool& systemState, const int64_t& jobId);
    virtual ~CFSJobResultCleanup() = default;

    // UpdateListOfFilesToCleanup, then Cleanup. Always succeeds: what cannot be removed stays.
    CKoError Execute();
    virtual void UpdateListOfFilesToCleanup();
    void Cleanup();

    static bool IsScanJobTypeQualifiedForCleanup(EScanJobType& type);

    // The patterns (folder and shell pattern) Cleanup removes, newest first.
    const std::deque<std::string>& GetFilesToCleanup() const { return m_filesToCleanup; }
    bool IsDifferentialJobSupported() const { return m_differentialJobSupported; }
    bool IsSystemState() const { return m_systemState; }
    int64_t GetJobId() const { return m_jobId; }

private:
    void Add(const std::string& folder, const std::string& pattern);
    // "CollectTot.zyf" -> "CollectTot*.zyf".
    static std::string PatternOf(const std::string& baseName);

    std::string m_jobResultsFolder;
    std::string m_parentFolder;
    std::string m_lastComponent;
    std::string m_archivePattern;
    long m_backupType;
    bool m_committed;
    bool m_differentialJobSupported = true;
    bool m_systemState;
    int64_t m_jobId;
    std::deque<std::string> m_filesToCleanup;
};
