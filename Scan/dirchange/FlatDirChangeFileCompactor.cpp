#include "scan/dirchange/FlatDirChangeFileCompactor.h"

#include "core/LogWriter.h"
#include "scan/dirchange/CompactCallback.h"

CKoError CFlatDirChangeFileCompactor::CompactTo(const CFlatDirChangeFilePtr& target, bool writeAllFolders) {
    if (!m_source || !target)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No source or target file");
    ZYLOG(3, "m_oFile(%s)", m_source->GetActiveFileName().c_str());
    CCompactCallback callback(m_source, target, writeAllFolders);
    CKoError error = callback.Open();
    if (error.IsError()) return error.Push(ZY_HERE);
    m_source->GetFolderOffsets().Walk(callback);
    if (callback.Error().IsError()) {
        CKoError failed = callback.Error();
        return failed.Push(ZY_HERE, "Source=[%s]", m_source->GetActiveFileName().c_str());
    }
    return CKoError::Success();
}
