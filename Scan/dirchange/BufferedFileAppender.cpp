#include "scan/dirchange/BufferedFileAppender.h"

void CBufferedFileAppender::Attach(FXWritableFile* file, uint64_t size) {
    Detach();
    m_writable = file;
    m_written = size;
}

void CBufferedFileAppender::Attach(FXRandomRWFile* file, uint64_t size) {
    Detach();
    m_readWrite = file;
    m_written = size;
}

void CBufferedFileAppender::Detach() {
    m_writable = nullptr;
    m_readWrite = nullptr;
    m_buffer.clear();
    m_error = CKoError();
    m_written = 0;
}

CKoError CBufferedFileAppender::Append(std::string_view data) {
    if (m_error.IsError()) return m_error;
    if (!IsAttached()) return FXErrorUtil::ErrorErrNo(ZY_HERE, 22, "Output file is not opened");
    m_buffer.append(data);
    if (m_buffer.size() >= kFlushSize) return Flush();
    return CKoError::Success();
}

CKoError CBufferedFileAppender::Flush() {
    if (m_error.IsError()) return m_error;
    if (m_buffer.empty()) return CKoError::Success();
    if (!IsAttached()) return FXErrorUtil::ErrorErrNo(ZY_HERE, 22, "Output file is not opened");
    CKoError error;
    {
        if (m_timer) m_timer->Start();
        error = m_writable ? m_writable->Append(m_buffer) : m_readWrite->Write(m_written, m_buffer);
        if (m_timer) m_timer->Stop();
    }
    if (error.IsError()) {
        // Part of the buffer may have landed: cut it off so the file ends after a whole line.
        if (m_writable)
            m_writable->Truncate(m_written).IgnoreError();
        else
            m_readWrite->Truncate(m_written).IgnoreError();
        m_buffer.clear();
        m_error = error.Push(ZY_HERE, "Failed to write to the file, Offset=[%llu]", static_cast<unsigned long long>(m_written));
        return m_error;
    }
    m_written += m_buffer.size();
    m_buffer.clear();
    return CKoError::Success();
}
