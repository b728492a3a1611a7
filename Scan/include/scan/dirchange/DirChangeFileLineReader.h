// Line sources and the line reader of tree DirChange files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/KoError.h"

// Where a line reader gets its bytes.
class CLineSource {
public:
    virtual ~CLineSource() = default;
    // Up to `size` bytes; `got` is 0 only at the end of the data.
    virtual CKoError Read(char* buffer, size_t size, size_t& got) = 0;
    virtual CKoError Seek(uint64_t offset) = 0;
};

// A stdio stream (not owned).
class CFileLineSource : public CLineSource {
public:
    explicit CFileLineSource(FILE* file) : m_file(file) {}
    CKoError Read(char* buffer, size_t size, size_t& got) override;
    CKoError Seek(uint64_t offset) override;
    FILE* Get() const { return m_file; }

private:
    FILE* m_file;
};

// A C++ stream (not owned).
class CStreamLineSource : public CLineSource {
public:
    explicit CStreamLineSource(std::istream& stream) : m_stream(stream) {}
    CKoError Read(char* buffer, size_t size, size_t& got) override;
    CKoError Seek(uint64_t offset) override;

private:
    std::istream& m_stream;
};

// Cuts a source into lines at LF through a fixed read buffer; a line longer than the buffer is
// gathered across reads. Keeps the source offset of every line it hands out.
class CLineBuffer {
public:
    static constexpr size_t kDefaultSize = 65536;
    explicit CLineBuffer(size_t size = kDefaultSize);

    // The next line without its LF; `got` is false at the end of the data. A last line without
    // LF is still a line (`endedByNewline` false).
    CKoError Next(CLineSource& source, std::string_view& line, bool& got);
    bool EndedByNewline() const { return m_endedByNewline; }
    // Forgets the buffered bytes; the source has just been moved to `offset`.
    void Reset(uint64_t offset);
    // The source offset where the last line began, and just after it (after its LF).
    uint64_t LineStart() const { return m_lineStart; }
    uint64_t Offset() const { return m_offset; }

private:
    std::unique_ptr<char[]> m_buffer;
    size_t m_size;
    size_t m_begin = 0;  // first byte not yet handed out
    size_t m_end = 0;    // end of the bytes read
    std::string m_carry;  // a line that spans reads
    uint64_t m_offset = 0;
    uint64_t m_lineStart = 0;
    bool m_endedByNewline = false;
    bool m_atEnd = false;
};

// Reads a tree DirChange file: each line cut at its first LF and then at its first CR, a first
// line "Version2" skipped, folder lines told from TAB file lines.
class CDirChangeFileLineReader {
public:
    explicit CDirChangeFileLineReader(FILE* file, size_t bufferSize = CLineBuffer::kDefaultSize);

    // The next line; `got` is false at the end of the file. A read error is returned as the
    // system error.
    CKoError ReadLine(bool& got);
    bool IsFile() const { return m_isFile; }
    bool IsFolder() const { return !m_isFile; }
    // The folder path of a folder line (still in moniker form), the name of a file line (without
    // its TAB).
    std::string_view Text() const { return m_text; }
    uint64_t GetLineNumber() const { return m_lineNumber; }

private:
    CFileLineSource m_source;
    CLineBuffer m_buffer;
    std::string_view m_text;
    bool m_isFile = false;
    uint64_t m_lineNumber = 0;
};
