#include "scan/dirchange/FlatDirChangeLineReader.h"

CFlatDirChangeLineReader::CFlatDirChangeLineReader(CLineSource& source, uint64_t offset, size_t bufferSize)
    : m_source(source), m_buffer(bufferSize) {
    m_buffer.Reset(offset);
}

CKoError CFlatDirChangeLineReader::Seek(uint64_t offset) {
    CKoError error = m_source.Seek(offset);
    if (error.IsError()) return error.Push(ZY_HERE);
    m_buffer.Reset(offset);
    return CKoError::Success();
}

CKoError CFlatDirChangeLineReader::ReadLine(bool& got) {
    for (;;) {
        std::string_view line;
        CKoError error = m_buffer.Next(m_source, line, got);
        if (error.IsError()) return error.Push(ZY_HERE);
        if (!got) {
            m_line = std::string_view();
            m_fields.clear();
            m_kind = LINE_EMPTY;
            return CKoError::Success();
        }
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        if (m_buffer.LineStart() == 0 && line == "Version2") continue;
        m_line = line;
        m_fields.clear();
        if (line.empty()) {
            m_kind = LINE_EMPTY;
            return CKoError::Success();
        }
        m_kind = line[0] == '\t' ? LINE_FILE : LINE_FOLDER;
        std::string_view text = line.substr(0, line.find("||"));
        for (;;) {
            const size_t bar = text.find('|');
            m_fields.push_back(text.substr(0, bar));
            if (bar == std::string_view::npos) break;
            text.remove_prefix(bar + 1);
        }
        return CKoError::Success();
    }
}

std::string_view CFlatDirChangeLineReader::NameWithoutTab() const {
    std::string_view name = Name();
    if (m_kind == LINE_FILE && !name.empty()) name.remove_prefix(1);
    return name;
}

void CFlatDirChangeLineReader::AssignFields(std::vector<std::string>& out) const {
    out.resize(m_fields.size());
    for (size_t i = 0; i < m_fields.size(); ++i) out[i].assign(m_fields[i]);
}
