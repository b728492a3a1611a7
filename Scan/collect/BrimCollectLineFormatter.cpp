#include <algorithm>

#include "scan/collect/BrimCollectLineFormatter.h"

CBrimCollectLineFormatter::CBrimCollectLineFormatter() = default;

CBrimCollectLineFormatter::CBrimCollectLineFormatter(const CStartCharacterCommonInfoPtr& commonInfo,
                                                     bool dontResetArchiveBit, bool underMountPoint)
    : CStartCharacterCollectLineFormatter(commonInfo, dontResetArchiveBit, underMountPoint, false, nullptr) {}

CBrimCollectLineFormatter::CBrimCollectLineFormatter(const CStartCharacterCommonInfoPtr& commonInfo, char first,
                                                     char second, char third)
    : CStartCharacterCollectLineFormatter(commonInfo, first, second, third, nullptr) {}

CBrimCollectLineFormatter::~CBrimCollectLineFormatter() = default;

void CBrimCollectLineFormatter::UpdateDepth(const std::string& fullPath) {
    // A path of one character keeps the previous line's depth; no reader uses it.
    if (fullPath.size() <= 1) return;
    int depth = static_cast<int>(std::count(fullPath.begin(), fullPath.end(), '/'));
    if (fullPath.back() == '/') --depth;
    m_depth = depth;
}

std::string CBrimCollectLineFormatter::GetFormattedLine(const CCollectFileFileEntry& entry) {
    UpdateDepth(entry.GetFullPath());
    return CStartCharacterCollectLineFormatter::GetFormattedLine(entry);
}

std::string CBrimCollectLineFormatter::GetFormattedLine(const CCollectFileFolderEntry& entry) {
    UpdateDepth(entry.GetFullPath());
    return CStartCharacterCollectLineFormatter::GetFormattedLine(entry);
}

void CBrimCollectLineFormatter::AppendMetadata(std::string& line) const {
    if (m_moved) AddMetadata(line, "BSM");
    if (!m_parentGuid.empty()) AddMetadata(line, "BPG", m_parentGuid);
    if (!m_realPath.empty()) AddMetadata(line, "BRP", m_realPath);
    if (m_deleteAfterBackup) AddMetadata(line, "BDAB");
    if (m_usn > 0) AddMetadata(line, "USN", m_usn);
    if (m_depth > 0) AddMetadata(line, "DEPTH", static_cast<int>(m_depth));
    if (m_new) AddMetadata(line, "NEW");
    if (m_underNew) AddMetadata(line, "UNEW");
    if (m_replaced) AddMetadata(line, "REP");
    if (m_fileSize > 0) AddMetadata(line, "FS", m_fileSize);
    if (m_frn != 0) AddMetadata(line, "FRN", m_frn);
    if (m_mtime > 0) AddMetadata(line, "MTIME", m_mtime);
    if (!m_metadataFile.empty()) AddMetadata(line, "MDATA", m_metadataFile);
    if (!m_pxDataOffset.empty()) AddMetadata(line, "PXOFFSET", m_pxDataOffset);
    if (!m_pxDataSize.empty()) AddMetadata(line, "PXSIZE", m_pxDataSize);
    CStartCharacterCollectLineFormatter::AppendMetadata(line);
}
