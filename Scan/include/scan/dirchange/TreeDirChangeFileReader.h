// Reads a tree DirChange file line by line for a loader that must not take damaged lines for
// items: a first "Version2" line is skipped, each line is cut at its first CR, folder lines come
// out of moniker form (and through the content mapper), and what cannot be an item is left out and
// counted in the report: a last line torn by the end of the file (reading stops there), a line
// longer than 64 KiB, a folder line that is not an absolute path, a file name that is empty or
// holds "/" or NUL, and file lines with no usable folder line before them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/KoError.h"
#include "scan/dirchange/DirChangeFileLineReader.h"
#include "scan/dirchange/DirChangeLoadReport.h"

class ContentMapperAPI;

class CTreeDirChangeFileReader {
public:
    static constexpr size_t kMaxLineBytes = 64 * 1024;
    enum EKind { END, FOLDER, FILE };

    // The source is read from where it stands, taken to be offset 0.
    CTreeDirChangeFileReader(CLineSource& source, ContentMapperAPI* mapper, SDirChangeLoadReport& report);

    // The next usable line. A read error is returned as it is.
    CKoError Next(EKind& kind);
    // The folder of the last folder line (converted), or of the block a file line is in.
    const std::string& Folder() const { return m_folder; }
    // The name of the last file line.
    std::string_view Name() const { return m_name; }
    uint64_t LineStart() const { return m_buffer.LineStart(); }
    uint64_t Offset() const { return m_buffer.Offset(); }
    // The end of the last whole line read: where the usable part of the file ends.
    uint64_t GoodEnd() const { return m_good; }

    // The rules of both DirChange file kinds: a folder is an absolute path without "." or ".."
    // components or NUL; a name is one component (no "/" or NUL, not "." or "..").
    static bool IsUsableFolder(std::string_view folder);
    static bool IsUsableName(std::string_view name);

private:
    CLineSource& m_source;
    ContentMapperAPI* m_mapper;
    SDirChangeLoadReport& m_report;
    CLineBuffer m_buffer;
    std::string m_folder, m_converted;
    std::string_view m_name;
    bool m_folderUsable = false;
    uint64_t m_lineNumber = 0;
    uint64_t m_good = 0;
};
