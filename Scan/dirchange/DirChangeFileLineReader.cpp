#include <cerrno>
#include <cstring>

#include "scan/dirchange/DirChangeFileLineReader.h"

CKoError CFileLineSource::Read(char* buffer, size_t size, size_t& got) {
    got = std::fread(buffer, 1, size, m_file);
    if (got < size && std::ferror(m_file)) {
        const int err = errno ? errno : EIO;
        return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "Read failed, Size=[%zu]", size);
    }
    return CKoError::Success();
}

CKoError CFileLineSource::Seek(uint64_t offset) {
    std::clearerr(m_file);
    if (::fseeko(m_file, static_cast<off_t>(offset), SEEK_SET) != 0)
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "Seek failed, Offset=[%llu]", static_cast<unsigned long long>(offset));
    return CKoError::Success();
}

CKoError CStreamLineSource::Read(char* buffer, size_t size, size_t& got) {
    m_stream.read(buffer, static_cast<std::streamsize>(size));
    got = static_cast<size_t>(m_stream.gcount());
    if (m_stream.bad()) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno ? errno : EIO, "Read failed, Size=[%zu]", size);
    return CKoError::Success();
}

CKoError CStreamLineSource::Seek(uint64_t offset) {
    m_stream.clear();
    m_stream.seekg(static_cast<std::streamoff>(offset));
    if (m_stream.fail())
        return FXErrorUtil::ErrorErrNo(ZY_HERE, errno ? errno : EIO, "Seek failed, Offset=[%llu]",
                                       static_cast<unsigned long long>(offset));
    return CKoError::Success();
}

CLineBuffer::CLineBuffer(size_t size) : m_buffer(new char[size]), m_size(size) {}

void CLineBuffer::Reset(uint64_t offset) {
    m_begin = m_end = 0;
    m_offset = m_lineStart = offset;
    m_atEnd = false;
    m_carry.clear();
}

CKoError CLineBuffer::Next(CLineSource& source, std::string_view& line, bool& got) {
    got = false;
    m_lineStart = m_offset;
    bool carrying = false;
    for (;;) {
        if (m_begin < m_end) {
            const char* start = m_buffer.get() + m_begin;
            const size_t available = m_end - m_begin;
            const char* lf = static_cast<const char*>(std::memchr(start, '\n', available));
            if (lf) {
                const size_t length = static_cast<size_t>(lf - start);
                m_begin += length + 1;
                m_offset += length + 1;
                m_endedByNewline = true;
                got = true;
                if (carrying) {
                    m_carry.append(start, length);
                    line = m_carry;
                } else {
                    line = std::string_view(start, length);
                }
                return CKoError::Success();
            }
            // The line goes on past the buffered bytes.
            if (!carrying) m_carry.clear();
            m_carry.append(start, available);
            carrying = true;
            m_begin = m_end;
            m_offset += available;
        }
        if (m_atEnd) break;
        size_t read = 0;
        CKoError error = source.Read(m_buffer.get(), m_size, read);
        if (error.IsError()) return error.Push(ZY_HERE);
        m_begin = 0;
        m_end = read;
        if (read == 0) m_atEnd = true;
    }
    if (carrying) {
        line = m_carry;
        got = true;
        m_endedByNewline = false;
    }
    return CKoError::Success();
}

CDirChangeFileLineReader::CDirChangeFileLineReader(FILE* file, size_t bufferSize)
    : m_source(file), m_buffer(bufferSize) {}

CKoError CDirChangeFileLineReader::ReadLine(bool& got) {
    for (;;) {
        std::string_view line;
        CKoError error = m_buffer.Next(m_source, line, got);
        if (error.IsError()) return error.Push(ZY_HERE, "LineNumber=[%llu]", static_cast<unsigned long long>(m_lineNumber + 1));
        if (!got) return CKoError::Success();
        ++m_lineNumber;
        if (m_lineNumber == 1 && m_buffer.EndedByNewline() && line == "Version2") continue;
        const size_t cr = line.find('\r');
        if (cr != std::string_view::npos) line = line.substr(0, cr);
        m_isFile = !line.empty() && line[0] == '\t';
        m_text = m_isFile ? line.substr(1) : line;
        return CKoError::Success();
    }
}
