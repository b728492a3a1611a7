#include "scan/dirchange/TreeDirChangeFileReader.h"

#include "core/ScanMisc.h"
#include "core/StringUtil.h"
#include "scan/content/ContentMapper.h"

namespace {

bool MayBeMoniker(std::string_view path) {
    if (!path.empty() && path[0] == '/') path.remove_prefix(1);
    return FXString::MatchLeftNoCase(path, SXScanMisc::kUncMonikerPrefix);
}

}  // namespace

CTreeDirChangeFileReader::CTreeDirChangeFileReader(CLineSource& source, ContentMapperAPI* mapper,
                                                   SDirChangeLoadReport& report)
    : m_source(source), m_mapper(mapper), m_report(report) {}

bool CTreeDirChangeFileReader::IsUsableFolder(std::string_view folder) {
    if (folder.empty() || folder[0] != '/' || folder.find('\0') != std::string_view::npos) return false;
    size_t start = 0;
    while (start < folder.size()) {
        size_t end = folder.find('/', start);
        if (end == std::string_view::npos) end = folder.size();
        const std::string_view component = folder.substr(start, end - start);
        if (component == "." || component == "..") return false;
        start = end + 1;
    }
    return true;
}

bool CTreeDirChangeFileReader::IsUsableName(std::string_view name) {
    return !name.empty() && name.size() <= kMaxLineBytes && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

CKoError CTreeDirChangeFileReader::Next(EKind& kind) {
    for (;;) {
        kind = END;
        std::string_view line;
        bool got = false;
        CKoError error = m_buffer.Next(m_source, line, got);
        if (error.IsError()) return error.Push(ZY_HERE, "LineNumber=[%llu]", static_cast<unsigned long long>(m_lineNumber + 1));
        if (!got) return CKoError::Success();
        ++m_lineNumber;
        if (!m_buffer.EndedByNewline()) {
            m_report.Skip(m_buffer.LineStart(), "torn last line");
            return CKoError::Success();
        }
        m_good = m_buffer.Offset();
        if (m_lineNumber == 1 && line == "Version2") continue;
        const size_t cr = line.find('\r');
        if (cr != std::string_view::npos) line = line.substr(0, cr);
        const bool file = !line.empty() && line[0] == '\t';
        if (line.size() > kMaxLineBytes) {
            m_report.Skip(m_buffer.LineStart(), "line longer than 64 KiB");
            if (!file) m_folderUsable = false;
            continue;
        }
        if (file) {
            m_name = line.substr(1);
            if (!m_folderUsable) {
                m_report.Skip(m_buffer.LineStart(), "file line without a usable folder line");
                continue;
            }
            if (!IsUsableName(m_name)) {
                m_report.Skip(m_buffer.LineStart(), "unusable file name");
                continue;
            }
            ++m_report.files;
            kind = FILE;
            return CKoError::Success();
        }
        if (MayBeMoniker(line))
            m_converted = SXScanMisc::ConvertFromUncMoniker(line);
        else
            m_converted.assign(line);
        if (m_mapper)
            m_mapper->MakeProxyPathFromHostPath(m_converted, m_folder);
        else
            m_folder.swap(m_converted);
        m_folderUsable = IsUsableFolder(m_folder);
        if (!m_folderUsable) {
            m_report.Skip(m_buffer.LineStart(), "folder line is not an absolute path");
            // Still a folder line for the caller: the block it had open ends here.
            m_folder.clear();
            kind = FOLDER;
            return CKoError::Success();
        }
        ++m_report.folders;
        kind = FOLDER;
        return CKoError::Success();
    }
}
