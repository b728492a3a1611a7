// The endpoint-sync collect-line formatter.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "scan/collect/CollectFileEntry.h"
#include "scan/collect/ScanJobType.h"
#include "scan/collect/StartCharacterCollectLineFormatter.h"

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
