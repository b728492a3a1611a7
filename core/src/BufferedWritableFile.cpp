#include "core/BufferedWritableFile.h"

#include <cstring>

FXBufferedWritableFile::FXBufferedWritableFile(size_t bufferSize)
    : m_buffer(new char[bufferSize < 64 ? 64 : bufferSize]), m_capacity(bufferSize < 64 ? 64 : bufferSize) {}

FXBufferedWritableFile::~FXBufferedWritableFile() {
    if (m_file) Close().IgnoreError();
}

CKoError FXBufferedWritableFile::Open(const std::string& path, EWriteMode mode, const FXOpenOptions& options) {
    if (m_file) Close().IgnoreError();
    m_error = CKoError::Success();
    m_used = 0;
    std::unique_ptr<FXWritableFile> file;
    CKoError e = FXEnv::Current()->NewWritableFile(path, mode, file, options);
    if (e.IsError()) return e.Push(ZY_HERE);
    m_file = std::move(file);
    m_path = path;
    m_flushed = m_file->Size();
    return CKoError::Success();
}

CKoError FXBufferedWritableFile::Fail(CKoError e) {
    if (m_error.IsSuccess()) m_error = e;
    return e;
}

CKoError FXBufferedWritableFile::Append(std::string_view data) {
    if (m_error.IsError()) return m_error;
    if (!m_file)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "File not open, FileName=[%s]",
                                       m_path.c_str());
    if (data.size() > m_capacity - m_used) {
        CKoError e = Flush();
        if (e.IsError()) return e;
        if (data.size() >= m_capacity) {
            // Larger than the buffer: straight to the file.
            e = m_file->Append(data);
            if (e.IsError()) return Fail(e.Push(ZY_HERE));
            m_flushed += data.size();
            return CKoError::Success();
        }
    }
    std::memcpy(m_buffer.get() + m_used, data.data(), data.size());
    m_used += data.size();
    return CKoError::Success();
}

CKoError FXBufferedWritableFile::AppendLine(std::string_view line) {
    if (line.size() + 1 <= m_capacity - m_used && m_error.IsSuccess() && m_file) {
        std::memcpy(m_buffer.get() + m_used, line.data(), line.size());
        m_used += line.size();
        m_buffer[m_used++] = '\n';
        return CKoError::Success();
    }
    CKoError e = Append(line);
    if (e.IsSuccess()) e = Append(std::string_view("\n", 1));
    return e;
}

CKoError FXBufferedWritableFile::Flush() {
    if (m_error.IsError()) return m_error;
    if (!m_file)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "File not open, FileName=[%s]",
                                       m_path.c_str());
    if (m_used == 0) return CKoError::Success();
    CKoError e = m_file->Append(std::string_view(m_buffer.get(), m_used));
    if (e.IsError()) return Fail(e.Push(ZY_HERE));
    m_flushed += m_used;
    m_used = 0;
    return CKoError::Success();
}

CKoError FXBufferedWritableFile::Sync() {
    CKoError e = Flush();
    if (e.IsError()) return e;
    e = m_file->Sync();
    if (e.IsError()) return Fail(e.Push(ZY_HERE));
    return CKoError::Success();
}

CKoError FXBufferedWritableFile::Close() {
    if (!m_file) return m_error;
    CKoError e = Flush();
    CKoError c = m_file->Close();
    m_file.reset();
    m_used = 0;
    if (e.IsError()) return e;
    if (c.IsError()) return Fail(c.Push(ZY_HERE));
    return CKoError::Success();
}

void FXBufferedWritableFile::Abandon() {
    if (m_file) m_file->Close().IgnoreError();
    m_file.reset();
    m_used = 0;
}
