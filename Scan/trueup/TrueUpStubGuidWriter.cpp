#include "scan/trueup/TrueUpStubGuidWriter.h"

#include "core/Path.h"
#include "core/StringUtil.h"
#include "scan/Unix/CollectFileEncode.h"

CTrueUpStubGuidWriter::CTrueUpStubGuidWriter(std::string jobResultsFolder, uint32_t backupSetId)
    : m_path(FXPath::Join(FolderOf(jobResultsFolder), FXString::Format("StubGUID_%u.txt", backupSetId))) {}

std::string CTrueUpStubGuidWriter::FolderOf(const std::string& jobResultsFolder) {
    return FXPath::Join(jobResultsFolder, "TrueUp");
}

CKoError CTrueUpStubGuidWriter::Write(const std::string& guid, const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_file) {
        std::string folder, name;
        CKoError e = FXPath::SplitParentPath(m_path, folder, name);
        if (e.IsSuccess()) {
            e = FXEnv::Current()->CreateDir(folder);
            if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_ALREADY_EXISTS)) e = CKoError::Success();
        }
        if (e.IsSuccess()) e = FXEnv::Current()->NewWritableFile(m_path, EWriteMode::Append, m_file);
        if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", m_path.c_str());
    }
    CKoError e = m_file->Append(guid + "|" + escapeFileName(path.c_str()) + "\n");
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", m_path.c_str());
    ++m_lines;
    return CKoError::Success();
}

CKoError CTrueUpStubGuidWriter::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_file) return CKoError::Success();
    CKoError e = m_file->Sync();
    CKoError closed = m_file->Close();
    m_file.reset();
    if (e.IsSuccess()) e = closed;
    if (e.IsError()) return e.Push(ZY_HERE, "FileName=[%s]", m_path.c_str());
    return CKoError::Success();
}

uint64_t CTrueUpStubGuidWriter::GetLineCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}
