// What the workers of a TrueUp stub scan share: the terminate flag, the map from subclient to
// backup set, the job-results folder, the counters of items inspected and qualified, and one stub
// GUID writer per backup set.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/KoError.h"
#include "scan/trueup/TrueUpStubGuidWriter.h"

class CTrueUpInspectOptions {
public:
    void SetTerminateScan(bool on) { m_terminate.store(on); }
    bool IsTerminateScan() const { return m_terminate.load(); }

    void SetSubclientToBackupSetMap(std::map<uint32_t, uint32_t> map) { m_subclientToBackupSet = std::move(map); }
    const std::map<uint32_t, uint32_t>& GetSubclientToBackupSetMap() const { return m_subclientToBackupSet; }
    void SetJobResultsFolder(const std::string& folder) { m_jobResultsFolder = folder; }
    const std::string& GetJobResultsFolder() const { return m_jobResultsFolder; }
    void SetImpersonationToken(const std::string& token) { m_impersonationToken = token; }
    const std::string& GetImpersonationToken() const { return m_impersonationToken; }

    void AddInspected(int64_t n = 1) { m_inspected.fetch_add(n, std::memory_order_relaxed); }
    void AddQualified(int64_t n = 1) { m_qualified.fetch_add(n, std::memory_order_relaxed); }
    int64_t GetInspected() const { return m_inspected.load(); }
    int64_t GetQualified() const { return m_qualified.load(); }

    // The writer of the backup set, made on first use.
    CKoError GetStubGUIDWriterForBackupSet(uint32_t backupSetId, CTrueUpStubGuidWriterPtr& writer);
    // Closes every writer made.
    CKoError CloseWriters();

private:
    std::atomic<bool> m_terminate{false};
    std::map<uint32_t, uint32_t> m_subclientToBackupSet;
    std::string m_jobResultsFolder;
    std::string m_impersonationToken;
    std::atomic<int64_t> m_inspected{0};
    std::atomic<int64_t> m_qualified{0};
    std::mutex m_writersLock;
    std::map<uint32_t, CTrueUpStubGuidWriterPtr> m_writers;
};

using CTrueUpInspectOptionsPtr = std::shared_ptr<CTrueUpInspectOptions>;
