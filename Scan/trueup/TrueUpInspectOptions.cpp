#include "scan/trueup/TrueUpInspectOptions.h"

CKoError CTrueUpInspectOptions::GetStubGUIDWriterForBackupSet(uint32_t backupSetId, CTrueUpStubGuidWriterPtr& writer) {
    std::lock_guard<std::mutex> lock(m_writersLock);
    CTrueUpStubGuidWriterPtr& slot = m_writers[backupSetId];
    if (!slot) slot = std::make_shared<CTrueUpStubGuidWriter>(m_jobResultsFolder, backupSetId);
    writer = slot;
    return CKoError::Success();
}

CKoError CTrueUpInspectOptions::CloseWriters() {
    std::lock_guard<std::mutex> lock(m_writersLock);
    CKoError first;
    for (auto& [id, writer] : m_writers) {
        CKoError e = writer->Close();
        if (e.IsError() && first.IsSuccess()) first = e.Push(ZY_HERE, "BackupSet=[%u]", id);
    }
    return first;
}
