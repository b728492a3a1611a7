// Collect lines with start characters, short and extended forms.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "scan/collect/CollectFileEntry.h"
#include "scan/collect/CollectLineFormatter.h"
#include "scan/collect/ScanJobType.h"

// Settings shared by the start-character formatters of one scan.
struct CStartCharacterCommonInfo {
    EScanJobType scanJobType{EScanJobType::INVALID_TYPE};
    std::string jobText;  // carried for the caller, not written
    bool hasItemSuffixNumber = false;
    uint32_t itemSuffixNumber = 0xFFFFFFFFu;
    bool addDiagnosticTags = false;
};
using CStartCharacterCommonInfoPtr = std::shared_ptr<CStartCharacterCommonInfo>;

// Lines with three start characters. Scans of most types write the short form (the path alone,
// with the start characters only when the third one is set); endpoint-sync and cloud-index scans
// write the extended form with "|<DIR>"/"|<FILE>" and the tags of this formatter and the entry.
class CStartCharacterCollectLineFormatter : public CCollectLineFormatter {
public:
    CStartCharacterCollectLineFormatter();
    // Start characters "*" for true and "?" for false; reset-archive-bit = !dontResetArchiveBit.
    CStartCharacterCollectLineFormatter(const CStartCharacterCommonInfoPtr& commonInfo, bool dontResetArchiveBit,
                                        bool underMountPoint, bool flrRoot, const char* text = nullptr);
    CStartCharacterCollectLineFormatter(const CStartCharacterCommonInfoPtr& commonInfo, bool dontResetArchiveBit,
                                        char second, bool flrRoot, const char* text = nullptr);
    // The three characters as given; reset-archive-bit = (first is "?").
    CStartCharacterCollectLineFormatter(const CStartCharacterCommonInfoPtr& commonInfo, char first, char second,
                                        char third, const char* text = nullptr);
    ~CStartCharacterCollectLineFormatter() override;
    CStartCharacterCollectLineFormatter(const CStartCharacterCollectLineFormatter&) = default;
    CStartCharacterCollectLineFormatter& operator=(const CStartCharacterCollectLineFormatter&) = default;

    std::string GetFormattedLine(const CCollectFileFileEntry& entry) override;
    std::string GetFormattedLine(const CCollectFileFolderEntry& entry) override;

    void SetBackupHeaderOnly(bool value) { m_backupHeaderOnly = value; }
    void SetDirDoesNotExist(bool value) { m_dirDoesNotExist = value; }
    void SetCxHdrHideInBrowse(bool value) { m_hideInBrowse = value; }
    void SetCxHdrRename(bool value) { m_rename = value; }
    void SetWellKnownFolderMetadata(const std::string& value) { m_wellKnownFolderMetadata = value; }
    void SetBackupAtPath(const std::string& value) { m_backupAtPath = value; }
    void SetTagsToBePreserved(const std::string& value) { m_tagsToBePreserved = value; }
    const std::string& GetTagsToBePreserved() const { return m_tagsToBePreserved; }
    void SetPathUnderMountPoint(bool value) { m_startCharacters[1] = value ? '*' : '?'; }
    bool IsPathUnderMountPointSet() const { return m_startCharacters[1] == '*'; }
    void SetDelete(bool value) { m_delete = value; }
    void SetContentPush(bool value) { m_contentPush = value; }
    void ResetArchiveBit(bool value) { m_resetArchiveBit = value; }
    bool IsResetArchiveBit() const { return m_resetArchiveBit; }
    void SetSelectedForAccess(bool value) { m_selectedForAccess = value; }
    void SetFolderDepth(int depth) { m_folderDepth = depth; }
    // Stored with a trailing delimiter.
    void SetSourceVolumePath(const std::string& path);
    const std::string& GetSourceVolumePath() const { return m_sourceVolumePath; }
    void SetMigrationAssistantPath(bool value) { m_migrationAssistantPath = value; }
    void SetJobResultsDir(const std::string& dir) { m_jobResultsDir = dir; }

    const CStartCharacterCommonInfoPtr& GetCommonInfo() const { return m_commonInfo; }
    char GetStartCharacter(int position) const { return m_startCharacters[position]; }
    const char* GetText() const { return m_text; }

protected:
    void AppendMetadata(std::string& line) const override;

private:
    bool IsExtendedForm() const;
    bool AddDiagnosticTags() const { return m_commonInfo && m_commonInfo->addDiagnosticTags; }
    // The start characters and the path (and "?"); false when the line is complete (short form).
    bool AppendStartAndPath(std::string& line, const CCollectFileEntry& entry, bool isFolder) const;
    // The suffix number, kind tag and metadata, or the preserved tags; false when the entry's own
    // tags must not follow.
    bool AppendFields(std::string& line, const CCollectFileEntry& entry, bool isFolder) const;
    void AppendDiagnosticTags(std::string& line, const CCollectFileEntry& entry) const;
    void AppendEntryTags(std::string& line, const CCollectFileFileEntry& entry) const;
    void AppendEntryTags(std::string& line, const CCollectFileFolderEntry& entry) const;
    template <typename Entry>
    std::string FormatLine(const Entry& entry, bool isFolder) const;

    CStartCharacterCommonInfoPtr m_commonInfo;
    char m_startCharacters[3] = {'?', '?', '?'};
    const char* m_text = nullptr;
    std::string m_wellKnownFolderMetadata;
    std::string m_backupAtPath;
    bool m_backupHeaderOnly = false;
    bool m_dirDoesNotExist = false;
    bool m_hideInBrowse = false;
    bool m_rename = false;
    bool m_delete = false;
    bool m_resetArchiveBit = true;
    bool m_contentPush = false;
    bool m_selectedForAccess = false;
    std::string m_sourceVolumePath;
    bool m_migrationAssistantPath = false;
    int32_t m_folderDepth = 0;
    std::string m_tagsToBePreserved;
    std::string m_jobResultsDir;
};
