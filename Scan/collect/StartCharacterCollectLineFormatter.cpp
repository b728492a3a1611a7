#include "core/File.h"
#include "core/Path.h"
#include "core/ScanMisc.h"
#include "core/TimeStamp.h"
#include "scan/collect/StartCharacterCollectLineFormatter.h"

namespace {

constexpr char StartCharacter(bool set) { return set ? '*' : '?'; }

// Diagnostic texts are free text; a "|", CR or LF in them would end the field or the line and
// make the reader see a field or an item that was never written. Nobody reads them back, so they
// are escaped rather than kept byte for byte.
std::string DiagnosticText(const std::string& text) {
    if (text.find_first_of("|\r\n") == std::string::npos) return text;
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        switch (c) {
            case '|': out.append("%7C"); break;
            case '\r': out.append("%0D"); break;
            case '\n': out.append("%0A"); break;
            default: out.push_back(c);
        }
    }
    return out;
}

}  // namespace

CStartCharacterCollectLineFormatter::CStartCharacterCollectLineFormatter()
    : m_commonInfo(std::make_shared<CStartCharacterCommonInfo>()) {}

CStartCharacterCollectLineFormatter::CStartCharacterCollectLineFormatter(
    const CStartCharacterCommonInfoPtr& commonInfo, bool dontResetArchiveBit, bool underMountPoint, bool flrRoot,
    const char* text)
    : CStartCharacterCollectLineFormatter(commonInfo, dontResetArchiveBit, StartCharacter(underMountPoint), flrRoot,
                                          text) {}

CStartCharacterCollectLineFormatter::CStartCharacterCollectLineFormatter(
    const CStartCharacterCommonInfoPtr& commonInfo, bool dontResetArchiveBit, char second, bool flrRoot,
    const char* text)
    : m_commonInfo(commonInfo),
      m_startCharacters{StartCharacter(dontResetArchiveBit), second, StartCharacter(flrRoot)},
      m_text(text),
      m_resetArchiveBit(!dontResetArchiveBit) {}

CStartCharacterCollectLineFormatter::CStartCharacterCollectLineFormatter(
    const CStartCharacterCommonInfoPtr& commonInfo, char first, char second, char third, const char* text)
    : m_commonInfo(commonInfo), m_startCharacters{first, second, third}, m_text(text), m_resetArchiveBit(first == '?') {}

CStartCharacterCollectLineFormatter::~CStartCharacterCollectLineFormatter() = default;

void CStartCharacterCollectLineFormatter::SetSourceVolumePath(const std::string& path) {
    m_sourceVolumePath = path;
    // An empty path stays empty: it means "none" and writes no tag.
    if (!m_sourceVolumePath.empty()) FXPath::Append(m_sourceVolumePath, "/", 4).IgnoreError();
}

bool CStartCharacterCollectLineFormatter::IsExtendedForm() const {
    return m_commonInfo && (m_commonInfo->scanJobType.IsSelected(EScanJobType::BRIM_SYNC) ||
                            m_commonInfo->scanJobType.IsSelected(EScanJobType::SOLR_CLOUD_BACKUP));
}

bool CStartCharacterCollectLineFormatter::AppendStartAndPath(std::string& line, const CCollectFileEntry& entry,
                                                             bool isFolder) const {
    const std::string& path = entry.GetFullPath();
    if (!IsExtendedForm()) {
        if (m_startCharacters[2] != '?') line.append(m_startCharacters, 3);
        line.append(path);
        return false;
    }
    line.append(m_startCharacters, 3);
    if (!m_commonInfo->scanJobType.IsSelected(EScanJobType::FILE_LEVEL_REPLICATION_REPSET) &&
        FXFile::IsVolumeUnc(path)) {
        line.append(SXScanMisc::ConvertToUncMoniker(path));
        if (isFolder) FXPath::AppendTrailingDelimiter(line);
    } else {
        line.append(path);
        if (isFolder) {
            bool drive = path.size() == 2 && path[0] != '/' && path[1] == ':';
            if (drive || !FXPath::HasTrailingDelimiter(path)) line.push_back('/');
        }
    }
    if (entry.IsNotCounted()) line.push_back('?');
    return true;
}

bool CStartCharacterCollectLineFormatter::AppendFields(std::string& line, const CCollectFileEntry& entry,
                                                       bool isFolder) const {
    if (!m_tagsToBePreserved.empty()) {
        line.append(m_tagsToBePreserved);
        if (AddDiagnosticTags()) AppendDiagnosticTags(line, entry);
        return false;
    }
    if (m_commonInfo->hasItemSuffixNumber && m_commonInfo->itemSuffixNumber != 0xFFFFFFFFu) {
        line.push_back('*');
        line.append(std::to_string(m_commonInfo->itemSuffixNumber));
    }
    if (!m_wellKnownFolderMetadata.empty()) AddMetadataRaw(line, m_wellKnownFolderMetadata);
    AddMetadata(line, isFolder ? "DIR" : "FILE");
    AppendMetadata(line);
    return true;
}

void CStartCharacterCollectLineFormatter::AppendDiagnosticTags(std::string& line,
                                                               const CCollectFileEntry& entry) const {
    AddMetadata(line, "DPtim", CTimeStamp::Now().AsString());
    const FXCodeLocation& location = entry.GetCodeLocation();
    AddMetadata(line, "DPloc", DiagnosticText(location.GetFunction()) + "(" + std::to_string(location.GetLine()) + ")");
    AddMetadata(line, "DPrsn", DiagnosticText(entry.GetReason()));
}

void CStartCharacterCollectLineFormatter::AppendEntryTags(std::string& line,
                                                          const CCollectFileFileEntry& entry) const {
    if (AddDiagnosticTags()) AppendDiagnosticTags(line, entry);
    if (entry.IsSizeValid()) AddMetadata(line, "FS", static_cast<unsigned long long>(entry.GetSize()));
    if (entry.IsCheckSumValid()) AddMetadata(line, "CSUM", entry.GetCheckSum());
    if (entry.IsStripLevelValid()) AddMetadata(line, "STRIP", static_cast<unsigned long long>(entry.GetStripLevel()));
    if (entry.IsPseudoPathValid()) AddMetadata(line, "PSEUDO", entry.GetPseudoPath());
    if (entry.IsAdhocItem()) AddMetadata(line, "ADHOC");
    if (entry.IsCxHdrHideInBrowse()) AddMetadata(line, "HIB");
}

void CStartCharacterCollectLineFormatter::AppendEntryTags(std::string& line,
                                                          const CCollectFileFolderEntry& entry) const {
    if (AddDiagnosticTags()) AppendDiagnosticTags(line, entry);
    if (entry.IsAdhocItem()) AddMetadata(line, "ADHOC");
    if (entry.IsStripLevelValid()) AddMetadata(line, "STRIP", static_cast<unsigned long long>(entry.GetStripLevel()));
    if (entry.IsPseudoPathValid()) AddMetadata(line, "PSEUDO", entry.GetPseudoPath());
    if (entry.IsCxHdrHideInBrowse()) AddMetadata(line, "HIB");
}

template <typename Entry>
std::string CStartCharacterCollectLineFormatter::FormatLine(const Entry& entry, bool isFolder) const {
    std::string line;
    const std::string& path = entry.GetFullPath();
    if (!IsExtendedForm()) {
        line.reserve(path.size() + 3);
    } else {
        // Room for the usual tags so that the line is allocated once.
        line.reserve(path.size() + 96 + m_backupAtPath.size() + m_sourceVolumePath.size() + m_jobResultsDir.size() +
                     m_wellKnownFolderMetadata.size() + m_tagsToBePreserved.size() + entry.GetPseudoPath().size());
    }
    if (AppendStartAndPath(line, entry, isFolder) && AppendFields(line, entry, isFolder)) {
        AppendEntryTags(line, entry);
    }
    return line;
}

std::string CStartCharacterCollectLineFormatter::GetFormattedLine(const CCollectFileFileEntry& entry) {
    return FormatLine(entry, false);
}

std::string CStartCharacterCollectLineFormatter::GetFormattedLine(const CCollectFileFolderEntry& entry) {
    return FormatLine(entry, true);
}

void CStartCharacterCollectLineFormatter::AppendMetadata(std::string& line) const {
    if (!m_backupAtPath.empty()) AddMetadata(line, "BAP", m_backupAtPath);
    if (m_backupHeaderOnly) AddMetadata(line, "BHO");
    if (m_dirDoesNotExist) AddMetadata(line, "DDNE");
    if (m_hideInBrowse) AddMetadata(line, "HIB");
    if (m_rename) AddMetadata(line, "REN");
    if (m_delete) AddMetadata(line, "DEL");
    if (!m_sourceVolumePath.empty()) AddMetadata(line, "SRCVOLPATH", m_sourceVolumePath);
    if (m_migrationAssistantPath) AddMetadata(line, "MA");
    if (m_folderDepth > 0) AddMetadata(line, "DEPTH", static_cast<int>(m_folderDepth));
    if (m_resetArchiveBit) AddMetadata(line, "AB");
    if (m_contentPush) AddMetadata(line, "CPUSH");
    if (m_selectedForAccess) AddMetadata(line, "ACCESS");
    if (!m_jobResultsDir.empty()) AddMetadata(line, "JR", m_jobResultsDir);
    CCollectLineFormatter::AppendMetadata(line);
}
