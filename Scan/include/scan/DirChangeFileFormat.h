// The line grammar of the two DirChange file kinds, as readers and writers the DirChange stores
// share.
//
// Tree DirChange file: a folder line is a folder path in UNC-moniker form; a file line is a TAB
// and one name of the current folder; an optional first line "Version2" is skipped.
//
// Flat DirChange backing file: a folder line is the folder with a trailing delimiter, in
// UNC-moniker form, escaped when name encoding is on, followed by the formatter's fields; a file
// line is a TAB, the (escaped) name, the formatter's fields and the decision-point fields. The
// file lines after a folder line form a block of that folder, which starts at the stream position
// just after the folder line.
//
// Readers hand out views into their buffer, valid until the next read; nothing is allocated per
// line once the buffers have grown to the longest line.
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

// Reads a flat DirChange backing file: CR and LF trimmed from the right, a "Version2" line at
// offset 0 skipped, each line split into its field list (the text before the first "||", cut at
// every "|"; the name is the first element, with its TAB on file lines).
class CFlatDirChangeLineReader {
public:
    enum ELineKind { LINE_EMPTY, LINE_FOLDER, LINE_FILE };

    // Reading starts where the source stands, taken to be `offset`.
    explicit CFlatDirChangeLineReader(CLineSource& source, uint64_t offset = 0,
                                      size_t bufferSize = CLineBuffer::kDefaultSize);

    // Moves the source to `offset` (the start of a block, for instance). A caller that also
    // writes to the stream seeks before reading again: the reader's buffer is then dropped.
    CKoError Seek(uint64_t offset);
    // The next line; `got` is false at the end of the data.
    CKoError ReadLine(bool& got);

    ELineKind Kind() const { return m_kind; }
    std::string_view Line() const { return m_line; }
    // The first element: the folder text, or TAB and the file name (both still escaped).
    std::string_view Name() const { return m_fields.empty() ? std::string_view() : m_fields[0]; }
    // The name of a file line without its TAB; the folder text of a folder line.
    std::string_view NameWithoutTab() const;
    // The elements of the field list, the name first.
    const std::vector<std::string_view>& Fields() const { return m_fields; }
    size_t FieldCount() const { return m_fields.size(); }
    // Copies the field list into `out`, reusing its strings (the parsers take strings).
    void AssignFields(std::vector<std::string>& out) const;
    // Source offsets of the line's start and of the position just after it; after a folder line,
    // the latter is where the folder's block starts.
    uint64_t LineStart() const { return m_buffer.LineStart(); }
    uint64_t EndOffset() const { return m_buffer.Offset(); }

private:
    CLineSource& m_source;
    CLineBuffer m_buffer;
    std::string_view m_line;
    std::vector<std::string_view> m_fields;
    ELineKind m_kind = LINE_EMPTY;
};

// Writers and name conversions of both file kinds. The Append... functions add one complete line
// (with its LF) to `out`, so that a caller can gather lines and write them with one call.
class CDirChangeFileFormat {
public:
    static constexpr std::string_view kVersionLine = "Version2";
    // What the flat DirChange file writer puts at the start of a file it creates.
    static constexpr std::string_view kFlatFileHeader = "Version2\n/\n";

    // Tree file: the folder in moniker form.
    static void AppendTreeFolderLine(std::string& out, std::string_view folder);
    // Tree file: TAB and the name.
    static void AppendTreeFileLine(std::string& out, std::string_view name);

    // Flat file: the folder with a trailing delimiter, in moniker form, escaped when `encode` is
    // on, then `fields` (a formatter's text).
    static void AppendFlatFolderLine(std::string& out, std::string_view folder, bool encode, std::string_view fields);
    // Flat file: TAB, the name (escaped when `encode` is on), `fields`, then `decisionPoint`
    // (see AppendDecisionPointFields; empty when the switch is off).
    static void AppendFlatFileLine(std::string& out, std::string_view name, bool encode, std::string_view fields,
                                   std::string_view decisionPoint = std::string_view());
    // "|<DPtim>time", "|<DPloc>function(line)" when the location is valid, "|<DPrsn>reason" when
    // there is a reason.
    static void AppendDecisionPointFields(std::string& out, std::string_view time, const FXCodeLocation& location,
                                          std::string_view reason);

    // The name escaped for a flat file (escapeFileName), without allocating when nothing needs it.
    static void AppendEscapedName(std::string& out, std::string_view name);

    // A flat folder line's text as a path: exactly one trailing delimiter, decoded when `decode`
    // is on, out of moniker form.
    static void DecodeFlatFolder(std::string_view text, bool decode, std::string& out);
    // A flat file line's name (without TAB), decoded when `decode` is on. An empty result means
    // the line is to be skipped.
    static void DecodeFlatFileName(std::string_view name, bool decode, std::string& out);
};
