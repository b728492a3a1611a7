// The state of a flat-file index and the operations on it; every "...Locked" member expects the
// caller to hold `lock`.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/Env.h"
#include "core/Sync.h"
#include "core/TimeStamp.h"
#include "scan/dirchange/BufferedFileAppender.h"
#include "scan/dirchange/FSLRUCache.h"
#include "scan/dirchange/FlatDirChangeLineReader.h"
#include "scan/dirchange/PathCacheFlatFileIndex.h"
#include "scan/dirchange/PositionalLineSource.h"

class CPathCacheFlatFileIndexPrivate {
public:
    using FolderTrie = CPathCacheFlatFileIndex::FolderTrie;
    using CacheNodePtr = CPathCacheFlatFileIndex::CacheNodePtr;
    using DirChangeCache = FSLRUCache<_DirChangeCacheKey, FlatFileItemMapPtr, _DirChangeCacheKeyHash>;

    // Lines longer than this are not DirChange lines (a name is at most a few hundred bytes).
    static constexpr size_t kMaxLineBytes = 64 * 1024;

    // One backing file: how to read it and what its load found.
    struct BackingFile {
        std::shared_ptr<CFlatFileIndexParser> parser;
        std::string path;
        bool loaded = false;
        std::unique_ptr<FXRandomAccessFile> readOnly;  // the previous file
        std::unique_ptr<FXRandomRWFile> readWrite;     // the current file
        std::unique_ptr<CPositionalLineSource> source;
        std::unique_ptr<CFlatDirChangeLineReader> blockReader;
        FXFileStat identity;  // of the previous file when loaded
        SDirChangeLoadReport report;
        bool IsOpen() const { return readOnly || readWrite; }
    };

    CPathCacheFlatFileIndexPrivate();

    // ---- helpers shared by the operations ----
    static std::string NormalizeFolder(std::string_view folder);
    // "/a/b" -> "/a", "b"; "/a" -> "/", "a". False when there is no parent or no name.
    static bool SplitFile(std::string_view path, std::string_view& folder, std::string_view& name);
    // The node of the path when it carries a record (a trie search answering FOUND_EXACT), else
    // null; the record itself.
    const CacheNodePtr* FindNodeLocked(std::string_view path);
    CPathCacheScanData* FindRecordLocked(std::string_view path);
    CKoError SearchOrInsertRecordLocked(std::string_view path, CPathCacheScanData*& record);
    CPathCacheScanDataPtr NewRecord();

    CKoError LoadBackingFileLocked(DirChangeSourceEnum source, const std::string& path, ContentMapperAPI* mapper);
    void MarkDeletedLocked(const CacheNodePtr& node, DirChangeSourceEnum source);
    CKoError EnsureOpenLocked(DirChangeSourceEnum source);
    void CloseAfterUseLocked();
    // Reads every block of the folder from one backing file into `items`.
    CKoError ReadItemsLocked(std::string_view folder, DirChangeSourceEnum source, FlatFileItemMap& items);
    CKoError ReadRecordItemsLocked(const CPathCacheScanData& record, DirChangeSourceEnum source, FlatFileItemMap& items);
    CKoError ReadBlockLocked(DirChangeSourceEnum source, uint64_t offset, FlatFileItemMap& items);
    // Through the cache.
    CKoError GetItemsLocked(std::string_view folder, DirChangeSourceEnum source, FlatFileItemMapPtr& items);
    void ForgetCurrentItemsLocked(std::string_view folder);
    void ClearCacheLocked();

    CKoError AddCurrentFolderLocked(const std::string& folder, const FXCodeLocation& location, const std::string& reason,
                                    const FVBasePtr& folderInfo, const FlatFileIndexFileItemMap& files,
                                    CAncestorItemInfoFactory* factory);
    CKoError WriteCurrentFolderLocked(const std::string& folder, const FVBasePtr& info);
    CKoError WriteCurrentFileLocked(const std::string& name, const CFlatFileIndexFileItem& item);
    CKoError AppendCurrentLocked(const std::string& data, const std::string& what);
    void CloseOpenBlockLocked();
    CKoError WriteCurrentCopyLocked(const std::string& fileName);
    bool IsSurfaceRootLocked(const std::string& path);
    void LogDecision(const char* what, const std::string& folder, const FXCodeLocation& location,
                     const std::string& reason) const;

    // ---- state ----
    mutable FXCriticalSection lock;
    FolderTrie trie;
    BackingFile current;
    BackingFile previous;
    ContentMapperAPI* currentMapper = nullptr;
    CBufferedFileAppender appender;  // of the current file
    std::string lastFolderWritten;   // with a trailing "/"
    // The block opened by the last folder line written: its offset is dropped if no file follows.
    CPathCacheScanData* openRecord = nullptr;
    uint64_t openAddress = 0;
    bool openHasFiles = false;

    bool closePreviousAfterUse = false;
    std::atomic<bool> includeFiles{false};
    std::atomic<bool> detailedCollectQuery{false};
    bool addDecisionPoint = false;
    bool avoidEmptyItemInfo = false;
    bool decodePrevious = true;
    bool encodeCurrent = true;
    bool logDecisions = false;

    CPathCacheUnorderedT<int> surface;
    std::shared_ptr<CAncestorItemInfoFactory> ancestorFactory;
    std::shared_ptr<CFlatFileIndexFormatter> formatter;

    std::unique_ptr<DirChangeCache> cache;
    size_t cacheCapacity = CPathCacheFlatFileIndex::kDefaultCacheCapacity;
    size_t cacheMaxFiles = CPathCacheFlatFileIndex::kDefaultCacheMaxFiles;
    size_t cacheFiles = 0;
    // Current-file maps loaded into the cache since it was last emptied: while there are none, a
    // write has nothing to make out of date (a scan that only writes looks nothing up).
    size_t currentLoads = 0;
    // The last map handed out: asking again is a hit on the most recently used entry anyway.
    _DirChangeCacheKey lastKey;
    FlatFileItemMapPtr lastItems;

    CTimeCounter writeTimer;

private:
    // Records are carved out of shared chunks: no allocation and no control block per folder.
    static constexpr size_t kRecordsPerChunk = 1024;
    std::shared_ptr<std::vector<CPathCacheScanData>> m_chunk;
    size_t m_chunkUsed = kRecordsPerChunk;
    // The last record found, for the runs of questions about one folder.
    std::string m_lastFindPath;
    CacheNodePtr m_lastFindNode;
    std::vector<std::string> m_fields;
    std::string m_name, m_folder, m_line;
};
