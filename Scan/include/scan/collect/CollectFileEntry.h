// The items the scan hands to a collect-file writer: a file or a folder with the path that goes
// into the line and the per-item options a formatter turns into tags.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "core/KoError.h"

class CCollectFileEntry {
public:
    CCollectFileEntry(const std::string& fullPath, const FXCodeLocation& location, const std::string& reason,
                      bool notCounted);
    virtual ~CCollectFileEntry() = 0;

    const std::string& GetFullPath() const { return m_fullPath; }
    // Why the scan chose the item; only ever written as a diagnostic tag.
    const std::string& GetReason() const { return m_reason; }
    const FXCodeLocation& GetCodeLocation() const { return m_codeLocation; }

    // A not-counted item is backed up but not counted as a backed-up item.
    bool IsNotCounted() const { return m_notCounted; }
    void SetNotCounted(bool notCounted) { m_notCounted = notCounted; }

    // 0 means not set.
    uint32_t GetStripLevel() const { return m_stripLevel; }
    void SetStripLevel(uint32_t level) { m_stripLevel = level; }
    bool IsStripLevelValid() const { return m_stripLevel != 0; }

    // Empty means not set.
    const std::string& GetPseudoPath() const { return m_pseudoPath; }
    void SetPseudoPath(const std::string& path) { m_pseudoPath = path; }
    bool IsPseudoPathValid() const { return !m_pseudoPath.empty(); }

    bool IsAdhocItem() const { return m_adhocItem; }
    void SetAdhocItem(bool adhoc) { m_adhocItem = adhoc; }

    bool IsCxHdrHideInBrowse() const { return m_hideInBrowse; }
    void SetCxHdrHideInBrowse(bool hide) { m_hideInBrowse = hide; }

protected:
    CCollectFileEntry(const CCollectFileEntry&) = default;
    CCollectFileEntry& operator=(const CCollectFileEntry&) = default;

    std::string m_fullPath;
    std::string m_reason;
    bool m_notCounted = false;
    FXCodeLocation m_codeLocation;
    uint32_t m_stripLevel = 0;
    std::string m_pseudoPath;
    bool m_adhocItem = false;
    bool m_hideInBrowse = false;
};

class CCollectFileFileEntry : public CCollectFileEntry {
public:
    // No size; the path is kept as given.
    CCollectFileFileEntry(const std::string& fullPath, const FXCodeLocation& location, const std::string& reason,
                          bool notCounted);
    // With a valid size; counted; a trailing delimiter is removed from the path.
    CCollectFileFileEntry(const std::string& fullPath, const FXCodeLocation& location, const std::string& reason,
                          uint64_t size);
    // Any other integer is a size too, so that a literal does not pick the bool form by conversion.
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    CCollectFileFileEntry(const std::string& fullPath, const FXCodeLocation& location, const std::string& reason,
                          T size)
        : CCollectFileFileEntry(fullPath, location, reason, static_cast<uint64_t>(size)) {}
    ~CCollectFileFileEntry() override;
    CCollectFileFileEntry(const CCollectFileFileEntry&) = default;
    CCollectFileFileEntry& operator=(const CCollectFileFileEntry&) = default;

    int64_t GetSize() const { return m_size; }
    bool IsSizeValid() const { return m_sizeValid; }
    const std::string& GetCheckSum() const { return m_checkSum; }
    bool IsCheckSumValid() const { return m_checkSumValid; }
    void SetCheckSum(const std::string& checkSum) {
        m_checkSum = checkSum;
        m_checkSumValid = true;
    }

private:
    int64_t m_size = 0;
    bool m_sizeValid = false;
    std::string m_checkSum;
    bool m_checkSumValid = false;
};

class CCollectFileFolderEntry : public CCollectFileEntry {
public:
    // The path gets a trailing delimiter: folder paths in collect files end with "/".
    CCollectFileFolderEntry(const std::string& fullPath, const FXCodeLocation& location, const std::string& reason,
                            bool notCounted);
    ~CCollectFileFolderEntry() override;
    CCollectFileFolderEntry(const CCollectFileFolderEntry&) = default;
    CCollectFileFolderEntry& operator=(const CCollectFileFolderEntry&) = default;

    void SetSkipFolderFromCollect(bool skip) { m_skipFolderFromCollect = skip; }
    bool ShouldSkipFolderFromCollect() const { return m_skipFolderFromCollect; }

private:
    bool m_skipFolderFromCollect = false;
};
