#include "scan/dirchange/CompactCallback.h"

#include "core/LogWriter.h"

CCompactCallback::CCompactCallback(CFlatDirChangeFile* source, CFlatDirChangeFilePtr target, bool writeAllFolders)
    : m_source(source), m_target(std::move(target)), m_writeAllFolders(writeAllFolders) {}

CKoError CCompactCallback::Open() {
    CKoError error = FXEnv::Current()->NewRandomAccessFile(m_source->GetActiveFileName(), m_file);
    if (error.IsError())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "File is not open, FileName=[%s], error=%s",
                                       m_source->GetActiveFileName().c_str(), error.AsString().c_str());
    m_input = std::make_unique<CPositionalLineSource>(m_file.get());
    m_reader = std::make_unique<CFlatDirChangeLineReader>(*m_input, 0, 4096);
    return CKoError::Success();
}

CKoError CCompactCallback::CopyBlock(uint64_t offset) {
    if (!m_reader) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "File is not open");
    ZYLOG(3, "   Offset=%llu\n", static_cast<unsigned long long>(offset));
    CKoError error = m_reader->Seek(offset);
    for (;;) {
        bool got = false;
        if (error.IsSuccess()) error = m_reader->ReadLine(got);
        if (error.IsError()) return error.Push(ZY_HERE, "Offset=[%llu]", static_cast<unsigned long long>(offset));
        // A torn last line is not an item.
        if (!got || !m_reader->EndedByNewline() || m_reader->Kind() != CFlatDirChangeLineReader::LINE_FILE)
            return CKoError::Success();
        m_line.assign(m_reader->Line().substr(1));
        error = m_target->RawWriteItem(m_line);
    }
}

bool CCompactCallback::OnNode(const std::string& path, const std::string& /*name*/, int /*depth*/,
                              BPathCacheNodeFlags flags, const OffsetAddressListPtr& data) {
    if (m_error.IsError()) return false;
    const bool content = flags.IsSet(BPathCacheNodeFlags::CONTENT_PRESENT) && data;
    if (content || m_writeAllFolders) {
        ZYLOG(3, "%s\n", path.c_str());
        m_error = m_target->RawWriteFolder(path);
        if (m_error.IsError()) return false;
    }
    if (!content) return true;
    for (uint64_t offset : *data) {
        m_error = CopyBlock(offset);
        if (m_error.IsError()) return false;
    }
    return true;
}
