// Reads the lines of a flat DirChange file, block by block.
#pragma once

#include <cstdint>
#include <cstdio>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/KoError.h"
#include "scan/dirchange/DirChangeFileLineReader.h"

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
    // False for a last line that the end of the data cut off before its LF (a torn write).
    bool EndedByNewline() const { return m_buffer.EndedByNewline(); }
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
