#include "scan/dirchange/PositionalLineSource.h"

#include <cstring>

CPositionalLineSource::CPositionalLineSource(const FXRandomAccessFile* file, size_t window)
    : m_randomAccess(file), m_windowSize(window), m_window(window ? new char[window] : nullptr) {}

CPositionalLineSource::CPositionalLineSource(const FXRandomRWFile* file, size_t window)
    : m_readWrite(file), m_windowSize(window), m_window(window ? new char[window] : nullptr) {}

CKoError CPositionalLineSource::ReadAt(uint64_t offset, char* buffer, size_t n, size_t& got) const {
    got = 0;
    if (m_randomAccess) return m_randomAccess->Read(offset, buffer, n, got);
    if (m_readWrite) return m_readWrite->Read(offset, buffer, n, got);
    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "File is not open");
}

CKoError CPositionalLineSource::Fill(uint64_t offset) {
    m_windowLength = 0;
    size_t got = 0;
    CKoError error = ReadAt(offset, m_window.get(), m_windowSize, got);
    if (error.IsError()) return error.Push(ZY_HERE);
    m_windowStart = offset;
    m_windowLength = got;
    return CKoError::Success();
}

CKoError CPositionalLineSource::Read(char* buffer, size_t size, size_t& got) {
    got = 0;
    if (!m_window || size >= m_windowSize) {
        CKoError error = ReadAt(m_position, buffer, size, got);
        if (error.IsError()) return error.Push(ZY_HERE);
        m_position += got;
        return CKoError::Success();
    }
    if (m_position < m_windowStart || m_position >= m_windowStart + m_windowLength) {
        CKoError error = Fill(m_position);
        if (error.IsError()) return error.Push(ZY_HERE);
        if (m_windowLength == 0) return CKoError::Success();
    }
    const size_t at = static_cast<size_t>(m_position - m_windowStart);
    got = std::min(size, m_windowLength - at);
    std::memcpy(buffer, m_window.get() + at, got);
    m_position += got;
    return CKoError::Success();
}

CKoError CPositionalLineSource::Seek(uint64_t offset) {
    m_position = offset;
    return CKoError::Success();
}

CKoError CPositionalLineSource::ByteAt(uint64_t offset, char& byte, bool& got) {
    got = false;
    if (!m_window) {
        size_t n = 0;
        CKoError error = ReadAt(offset, &byte, 1, n);
        if (error.IsError()) return error.Push(ZY_HERE);
        got = n == 1;
        return CKoError::Success();
    }
    if (offset < m_windowStart || offset >= m_windowStart + m_windowLength) {
        // Centre the window a little before the byte: a block read usually follows.
        CKoError error = Fill(offset);
        if (error.IsError()) return error.Push(ZY_HERE);
        if (m_windowLength == 0) return CKoError::Success();
    }
    byte = m_window[static_cast<size_t>(offset - m_windowStart)];
    got = true;
    return CKoError::Success();
}
