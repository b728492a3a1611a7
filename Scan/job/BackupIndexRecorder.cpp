#include "scan/job/BackupIndexRecorder.h"

#include "agent/BackupIndex.h"
#include "core/SafePath.h"

CBackupIndexRecorder::CBackupIndexRecorder() = default;

CBackupIndexRecorder::~CBackupIndexRecorder() {
    // Not closed: what is not committed is dropped, as after a kill.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_index) m_index->RollbackBatch();
}

CKoError CBackupIndexRecorder::Open(const std::string& resultsDir, int64_t jobId, std::vector<std::string> roots) {
    std::lock_guard<std::mutex> lock(m_mutex);
    try {
        m_index = std::make_unique<CSQLiteBackupIndex>();
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Cannot allocate the backup index");
    }
    const std::string path = CSQLiteBackupIndex::DefaultPathFor(resultsDir);
    CKoError e = m_index->Open(path, true);
    if (e.IsError())
        return e.Push(ZY_HERE,
                      "The backup index cannot be used; move it away and the next backups record a new one (TrueUp "
                      "then finds what they have not copied again), FileName=[%s]",
                      path.c_str());
    m_roots = std::move(roots);
    m_jobId = jobId;
    m_open = true;
    m_inBatch = 0;
    return CKoError::Success();
}

CKoError CBackupIndexRecorder::EnsureBatchLocked() {
    if (!m_open) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The backup index is not open");
    if (m_index->IsInBatch()) return CKoError::Success();
    m_inBatch = 0;
    return m_index->BeginBatch();
}

CKoError CBackupIndexRecorder::CommitLocked() {
    if (!m_open || !m_index->IsInBatch()) return CKoError::Success();
    m_inBatch = 0;
    CKoError e = m_index->CommitBatch();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CBackupIndexRecorder::RecordCopied(const std::string& path, const struct stat& st) {
    if (!m_open) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "The backup index is not open");
    bool inside = false;
    for (const std::string& root : m_roots) inside = inside || FXSafePath::IsAtOrBelow(root, path);
    if (!inside) return CKoError::Success();
    SBackupIndexItem item;
    item.path = path;
    item.folder = S_ISDIR(st.st_mode);
    item.modificationTime = st.st_mtim.tv_sec;
    item.changeTime = st.st_ctim.tv_sec;
    item.size = item.folder || st.st_size < 0 ? 0 : static_cast<uint64_t>(st.st_size);
    item.jobId = m_jobId;
    std::lock_guard<std::mutex> lock(m_mutex);
    CKoError e = EnsureBatchLocked();
    // A file put where a folder was took the folder's content out of the mirror.
    if (e.IsSuccess() && !item.folder) e = m_index->RecordDeletion(path, true, m_jobId);
    if (e.IsSuccess()) e = m_index->RecordItem(item);
    if (e.IsSuccess() && ++m_inBatch >= kMaxBatch) e = CommitLocked();
    if (e.IsError()) return e.Push(ZY_HERE);
    ++m_recorded;
    return CKoError::Success();
}

CKoError CBackupIndexRecorder::RecordDeletion(const std::string& path, bool folder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    CKoError e = EnsureBatchLocked();
    if (e.IsSuccess()) e = m_index->RecordDeletion(path, folder, m_jobId);
    // Before the mirror loses the item; the copies recorded so far are in the mirror already.
    if (e.IsSuccess()) e = CommitLocked();
    if (e.IsError()) return e.Push(ZY_HERE);
    ++m_deletions;
    return CKoError::Success();
}

CKoError CBackupIndexRecorder::Checkpoint() {
    std::lock_guard<std::mutex> lock(m_mutex);
    CKoError e = CommitLocked();
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot commit the backup index");
    return CKoError::Success();
}

CKoError CBackupIndexRecorder::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    CKoError e = CommitLocked();
    if (m_index) m_index->Close();
    m_open = false;
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot commit the backup index");
    return CKoError::Success();
}

uint64_t CBackupIndexRecorder::GetRecorded() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recorded;
}

uint64_t CBackupIndexRecorder::GetDeletions() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_deletions;
}
