#include "core/LineReader.h"

#include <algorithm>
#include <cstring>
#include <new>

FXLineReader::FXLineReader(std::unique_ptr<FXSequentialFile> file, std::string name, size_t bufferSize,
                           size_t maxLine)
    : m_file(std::move(file)), m_name(std::move(name)), m_maxLine(maxLine) {
    m_buffer.resize(bufferSize < 64 ? 64 : bufferSize);
}

CKoError FXLineReader::Open(const std::string& path, size_t bufferSize, size_t maxLine) {
    Close();
    std::unique_ptr<FXSequentialFile> file;
    CKoError e = FXEnv::Current()->NewSequentialFile(path, file);
    if (e.IsError()) return e.Push(ZY_HERE);
    m_file = std::move(file);
    m_name = path;
    m_maxLine = maxLine;
    m_buffer.resize(bufferSize < 64 ? 64 : bufferSize);
    return CKoError::Success();
}

void FXLineReader::Close() {
    m_file.reset();
    m_begin = m_end = 0;
    m_eof = false;
    m_offset = 0;
}

// Moves the unread tail to the front, grows the buffer when the tail fills it, and reads more.
CKoError FXLineReader::Fill() {
    if (m_begin > 0) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    if (m_end == m_buffer.size()) {
        if (m_buffer.size() > m_maxLine)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "Line longer than %zu bytes at offset %llu, FileName=[%s]", m_maxLine,
                                           static_cast<unsigned long long>(m_offset), m_name.c_str());
        try {
            m_buffer.resize(std::min(m_buffer.size() * 2, m_maxLine + 1));
        } catch (const std::bad_alloc&) {
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "No memory for a line, FileName=[%s]",
                                           m_name.c_str());
        }
    }
    size_t got = 0;
    CKoError e = m_file->Read(m_buffer.data() + m_end, m_buffer.size() - m_end, got);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (got == 0) m_eof = true;
    m_end += got;
    return CKoError::Success();
}

CKoError FXLineReader::Next(std::string_view& line, bool& got) {
    got = false;
    if (!m_file)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "File not open, FileName=[%s]",
                                       m_name.c_str());
    size_t scanned = 0;  // bytes of the tail already known to hold no line feed
    for (;;) {
        const char* start = m_buffer.data() + m_begin;
        const size_t available = m_end - m_begin;
        const void* lf = scanned < available ? std::memchr(start + scanned, '\n', available - scanned) : nullptr;
        if (lf) {
            const size_t length = static_cast<size_t>(static_cast<const char*>(lf) - start);
            line = std::string_view(start, length);
            m_begin += length + 1;
            m_offset += length + 1;
            got = true;
            return CKoError::Success();
        }
        if (m_eof) {
            if (available == 0) return CKoError::Success();
            line = std::string_view(start, available);
            m_begin = m_end;
            m_offset += available;
            got = true;
            return CKoError::Success();
        }
        scanned = available;
        CKoError e = Fill();
        if (e.IsError()) return e.Push(ZY_HERE);
    }
}
