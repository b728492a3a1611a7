// Reads a collect file line by line for the backup's data readers: keeps the offset of every
// line for restarts, takes each line apart and answers the current line's name, flags and tags.
// A reader belongs to one thread. Copies share the open file and the current line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/KoError.h"

class CCollectFileReaderPrivate;

class CCollectFileReader {
public:
    explicit CCollectFileReader(const std::string& collectFileName);
    ~CCollectFileReader();

    // Learns this machine's job-results folder (not when running as the agent's service); item
    // names written under the writer's folder ("JR" tag) are rewritten to it.
    void SetCurrentJobResultsDir();
    // Whether every line starts with the three start characters (default: yes).
    void SetHasStartCharacters(bool hasStartCharacters);

    CKoError OpenCollectFile();
    bool IsOpen() const;
    const std::string& GetCollectFileName() const;

    // The next GetNextLine reads from `offset` (a value of GetCurrentItemPosition re-reads that line).
    CKoError MoveToPosition(long long offset);
    // The stream position (0 when not open).
    long long GetCurrentPosition() const;
    // Where the current line began.
    long long GetCurrentItemPosition() const;

    // Reads and parses the next line; `line` gets the item name. The end of the file is Win32
    // 259; a line longer than 65,535 bytes comes back in pieces, each parsed as a line.
    CKoError GetNextLine(std::string& line);
    // The next byte of the stream (EOF at the end), for callers that probe the file.
    int GetNextCharacter();

    bool IsEndOfFile() const;
    bool IsFileError() const;
    // The last read failure (success when there was none).
    CKoError GetFileReadError() const;

    // The current line. The original line is the bytes as read, line feed included.
    const std::string& GetCurrentOriginalLine() const;
    const std::string& GetCurrentItemName() const;
    const std::string& GetCurrentItemWellKnownFolderMetadata() const;
    const std::string& GetCurrentItemDDBMetadata() const;
    const std::string& GetCurrentItemBackupAtPath() const;
    const std::string& GetCurrentItemBrimRealPath() const;
    const std::string& GetCurrentItemBrimParentGUID() const;

    bool IsBackslashLine() const;
    bool IsLegalHoldLine() const;
    bool IsPathContainsMountPoint() const;
    bool IsResetArchiveBit() const;
    bool IsContentPush() const;
    bool IsSelectedForAccess() const;
    bool IsFLRRoot() const;
    bool IsRecursiveDeletedItem() const;
    bool IsDeletedItem() const;
    bool IsCounted() const;
    bool IsCatalogOnly() const;
    bool IsBackupCopyOnly() const;
    bool IsSnapBackupOnly() const;
    bool IsParentPath() const;
    bool IsAffinityFabricated() const;
    // Both the system-state type and the backup method are set.
    bool IsSystemStateLine() const;
    int GetSystemStateType() const;
    int GetSystemStateBackupMethod() const;
    bool BackupHeaderOnly() const;
    bool DirDoesNotExist() const;
    bool IsCxHdrHideInBrowse() const;
    bool IsCxHdrRename() const;
    bool IsBrimDeleteAfterBackup() const;
    long long GetCurrentItemFileSize() const;
    long long GetCurrentItemFileId() const;
    const std::string& GetSourceVolumePath() const;
    bool IsMigrationAssistantPath() const;
    bool IsDirectory() const;
    const std::string& GetMetadatafile() const;
    const std::string& GetCurrentItemCheckSum() const;
    uint32_t GetStripLevel() const;
    const std::string& GetPseudoPath() const;
    long long GetPxDataOffset() const;
    long long GetPxDataSize() const;
    bool IsAdhocItem() const;
    uint32_t GetFileExtentItemType() const;
    unsigned long long GetNumOfFileExtents() const;
    unsigned long long GetFileExtentSize() const;
    const std::string& GetVersionGuid() const;
    bool IsBrimNewItem() const;
    bool IsBrimModifiedItem() const;
    // No tag sets it ("REN" is IsCxHdrRename); kept for callers that ask.
    bool IsBrimRenameItem() const;
    bool IsBrimDeletedItem() const;
    bool IsBrimReplacedItem() const;
    bool IsBrimMovedUnderNewFolderItem() const;
    // False, with the argument left alone, when the line has no such time.
    bool GetLastWriteTime(unsigned long long& time) const;
    bool GetLastAccessTime(unsigned long long& time) const;
    bool GetLastChangeTime(long long& time) const;

private:
    std::shared_ptr<CCollectFileReaderPrivate> m_p;
};
