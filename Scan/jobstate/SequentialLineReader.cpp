#include "SequentialLineReader.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {
constexpr size_t kInitialBuffer = 256 * 1024;
}

CSequentialLineReader::CSequentialLineReader(FXSequentialFile& file, size_t maxLine)
    : m_file(file), m_maxLine(maxLine), m_buffer(std::min(kInitialBuffer, maxLine + 1)) {}

CKoError CSequentialLineReader::Next(std::string_view& line, bool& got) {
    got = false;
    for (;;) {
        const char* begin = m_buffer.data() + m_start;
        const void* nl = std::memchr(begin + m_scanned, '\n', m_end - m_start - m_scanned);
        if (nl) {
            size_t length = static_cast<const char*>(nl) - begin;
            line = std::string_view(begin, length);
            m_start += length + 1;
            m_scanned = 0;
            got = true;
            return CKoError::Success();
        }
        m_scanned = m_end - m_start;
        if (m_scanned > m_maxLine)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Line longer than [%zu] bytes",
                                           m_maxLine);
        if (m_eof) {
            if (m_start == m_end) return CKoError::Success();
            line = std::string_view(begin, m_end - m_start);
            m_start = m_end;
            m_scanned = 0;
            got = true;
            return CKoError::Success();
        }
        // Keep the partial line at the front, and make room for more.
        if (m_start > 0) {
            std::memmove(m_buffer.data(), m_buffer.data() + m_start, m_end - m_start);
            m_end -= m_start;
            m_start = 0;
        }
        if (m_end == m_buffer.size()) {
            if (m_buffer.size() > m_maxLine)
                return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Line longer than [%zu] bytes",
                                               m_maxLine);
            try {
                m_buffer.resize(std::min(m_buffer.size() * 2, m_maxLine + 1));
            } catch (const std::bad_alloc&) {
                return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "No memory for a line of [%zu] bytes",
                                               m_buffer.size() * 2);
            }
        }
        size_t n = 0;
        CKoError e = m_file.Read(m_buffer.data() + m_end, m_buffer.size() - m_end, n);
        if (e.IsError()) return e.Push(ZY_HERE);
        if (n == 0) m_eof = true;
        m_end += n;
    }
}
