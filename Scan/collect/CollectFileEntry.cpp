#include "scan/collect/CollectFileEntry.h"

#include "core/Path.h"

CCollectFileEntry::CCollectFileEntry(const std::string& fullPath, const FXCodeLocation& location,
                                     const std::string& reason, bool notCounted)
    : m_fullPath(fullPath), m_reason(reason), m_notCounted(notCounted), m_codeLocation(location) {}

CCollectFileEntry::~CCollectFileEntry() = default;

CCollectFileFileEntry::CCollectFileFileEntry(const std::string& fullPath, const FXCodeLocation& location,
                                             const std::string& reason, bool notCounted)
    : CCollectFileEntry(fullPath, location, reason, notCounted) {}

CCollectFileFileEntry::CCollectFileFileEntry(const std::string& fullPath, const FXCodeLocation& location,
                                             const std::string& reason, uint64_t size)
    : CCollectFileEntry(fullPath, location, reason, false), m_size(static_cast<int64_t>(size)), m_sizeValid(true) {
    FXPath::RemoveTrailingDelimiter(m_fullPath);
}

CCollectFileFileEntry::~CCollectFileFileEntry() = default;

CCollectFileFolderEntry::CCollectFileFolderEntry(const std::string& fullPath, const FXCodeLocation& location,
                                                 const std::string& reason, bool notCounted)
    : CCollectFileEntry(fullPath, location, reason, notCounted) {
    FXPath::AppendTrailingDelimiter(m_fullPath);
}

CCollectFileFolderEntry::~CCollectFileFolderEntry() = default;
