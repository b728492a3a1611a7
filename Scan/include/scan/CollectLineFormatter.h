// Formatters that turn a collect entry into one collect-file line (without its line feed).
//
// Line: [3 start characters] path ["?"] ["*"number] {"|" field} where a field is "<KEY>value"
// (a tag), "%..." (well-known-folder metadata) or opaque index metadata. The writer owns the file
// and appends the line feed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "scan/CollectFileEntry.h"
#include "scan/ScanJobType.h"

// The plain form: path, "?" when not counted, then the formatter's metadata.
class CCollectLineFormatter {
public:
    CCollectLineFormatter() = default;
    virtual ~CCollectLineFormatter();

    virtual std::string GetFormattedLine(const CCollectFileFileEntry& entry);
    virtual std::string GetFormattedLine(const CCollectFileFolderEntry& entry);
    // The formatter's own tags as one text (empty here): what AppendMetadata appends. Derived
    // formatters override AppendMetadata, through which lines get their tags in place.
    virtual std::string GetMetadata() const;

    // "|<key>", "|<key>value", "|<key>" and a number, "|text". They use no state of the formatter.
    virtual void AddMetadata(std::string& line, const std::string& key) const;
    virtual void AddMetadata(std::string& line, const std::string& key, const std::string& value) const;
    virtual void AddMetadata(std::string& line, const std::string& key, int value) const;
    virtual void AddMetadata(std::string& line, const std::string& key, long long value) const;
    virtual void AddMetadata(std::string& line, const std::string& key, unsigned long long value) const;
    virtual void AddMetadataRaw(std::string& line, const std::string& text) const;

protected:
    CCollectLineFormatter(const CCollectLineFormatter&) = default;
    CCollectLineFormatter& operator=(const CCollectLineFormatter&) = default;

    // Appends what GetMetadata returns, without building a separate string.
    virtual void AppendMetadata(std::string& line) const;

private:
    std::string FormatPlainLine(const CCollectFileEntry& entry) const;
};

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

// The endpoint-sync variant: adds the sync tags (moves, real path, parent GUID, change kinds, ...).
class CBrimCollectLineFormatter : public CStartCharacterCollectLineFormatter {
public:
    CBrimCollectLineFormatter();
    CBrimCollectLineFormatter(const CStartCharacterCommonInfoPtr& commonInfo, bool dontResetArchiveBit,
                              bool underMountPoint);
    CBrimCollectLineFormatter(const CStartCharacterCommonInfoPtr& commonInfo, char first, char second, char third);
    ~CBrimCollectLineFormatter() override;
    CBrimCollectLineFormatter(const CBrimCollectLineFormatter&) = default;
    CBrimCollectLineFormatter& operator=(const CBrimCollectLineFormatter&) = default;

    std::string GetFormattedLine(const CCollectFileFileEntry& entry) override;
    std::string GetFormattedLine(const CCollectFileFolderEntry& entry) override;

    void SetBrimMoved(bool value) { m_moved = value; }
    void SetBrimDeleteAfterBackup(bool value) { m_deleteAfterBackup = value; }
    void SetBrimRealPath(const std::string& value) { m_realPath = value; }
    void SetBrimParentGuid(const std::string& value) { m_parentGuid = value; }
    void SetUsn(long long value) { m_usn = value; }
    void SetBrimNew(bool value) { m_new = value; }
    void SetBrimUnderNew(bool value) { m_underNew = value; }
    void SetBrimReplaced(bool value) { m_replaced = value; }
    void SetFileSize(long long value) { m_fileSize = value; }
    void SetFRN(unsigned long long value) { m_frn = value; }
    void SetMTime(long long value) { m_mtime = value; }
    void SetMetadataFile(const std::string& value) { m_metadataFile = value; }
    void SetPxDataOffset(const std::string& value) { m_pxDataOffset = value; }
    void SetPxDataSize(const std::string& value) { m_pxDataSize = value; }

    // The depth of the last line's path (number of "/" less a trailing one).
    int GetDepth() const { return m_depth; }

protected:
    void AppendMetadata(std::string& line) const override;

private:
    void UpdateDepth(const std::string& fullPath);

    bool m_moved = false;
    bool m_deleteAfterBackup = false;
    std::string m_realPath;
    std::string m_parentGuid;
    long long m_usn = 0;
    int32_t m_depth = 0;
    bool m_new = false;
    bool m_underNew = false;
    bool m_replaced = false;
    long long m_fileSize = 0;
    unsigned long long m_frn = 0;
    long long m_mtime = 0;
    std::string m_metadataFile;
    std::string m_pxDataOffset;
    std::string m_pxDataSize;
};
