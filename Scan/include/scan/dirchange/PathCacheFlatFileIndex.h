// The flat-file index: the DirChange for large file systems.
//
// Only folders live in memory, one record each in a path trie; the files of a folder stay in the
// DirChange backing files. The previous job's backing file is read once for its folder lines,
// remembering where each folder's block of file lines starts; the current job's backing file is
// appended to as the scan goes. A folder's files are read back from its blocks when a question
// needs them and kept in a bounded least-recently-used cache (2000 folders or about 1,000,000
// files by default; settings "nDirChangeCacheCapacity" and "nDirChangeCacheMaxFiles" of section
// "FileSystemAgent").
//
// Backing files (see DirChangeFileFormat.h): a folder line is the folder with a trailing "/", in
// moniker form, escaped, then the formatter's fields; TAB lines name the folder's files. A folder
// may have several blocks; read in file order, a later line for a name replaces an earlier one and
// a line marked deleted ("|<D>1") removes it; a folder line marked deleted removes the folder and
// everything below it from that job.
//
// Damaged input: a line torn by the end of the file, a folder line that is not an absolute path,
// a line longer than 64 KiB, file lines with no usable folder line before them, and file names
// that are empty or hold "/" or NUL are left out and counted in the load report (GetLoadReport);
// a block offset that does not start a line, or lies past the end of the file, is a read error.
// Questions that hit a read error answer false (the item is then treated as new), and nothing is
// ever answered from another folder's block.
//
// Copies of an index share one state; every operation holds the index's lock, so scanner threads
// may share one.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "core/KoError.h"
#include "core/StringUtil.h"
#include "scan/dirchange/AncestorItemInfoFactory.h"
#include "scan/dirchange/DirChangeFormatter.h"
#include "scan/dirchange/DirChangeLoadReport.h"
#include "scan/dirchange/DirChangeParser.h"
#include "scan/dirchange/FlatFileIndexFileItem.h"
#include "scan/dirchange/IDirChange.h"
#include "scan/dirchange/PathCache.h"
#include "scan/dirchange/PathCacheScanData.h"

// Which backing file a folder's items come from.
enum DirChangeSourceEnum : int32_t {
    DIRCHANGE_SOURCE_CURRENT = 0,
    DIRCHANGE_SOURCE_PREVIOUS = 1,
};

// The files of one folder as read from one backing file: name -> item information (may be null).
using FlatFileItemMap = std::map<std::string, FVBasePtr, __less_fscase_cmp>;
using FlatFileItemMapPtr = std::shared_ptr<FlatFileItemMap>;

// The key of the DirChange cache: a folder of one backing file.
struct _DirChangeCacheKey {
    std::string path;
    DirChangeSourceEnum source = DIRCHANGE_SOURCE_CURRENT;

    bool operator==(const _DirChangeCacheKey& other) const {
        return source == other.source && FXString::MatchesFSCase(path, other.path);
    }
};

struct _DirChangeCacheKeyHash {
    // The path's hash combined with the source. Not the file-system name hash (h * 5 + c): folder
    // paths that differ in two neighbouring digits ("d05", "d10") collide under it, and a cache of
    // thousands of sibling folders would search long bucket chains.
    size_t operator()(const _DirChangeCacheKey& key) const {
        size_t seed = std::hash<std::string_view>()(key.path);
        seed ^= static_cast<size_t>(key.source) + 0x9e3779b9 + (seed << 6) + (seed >> 2);
        return seed;
    }
};

class CPathCacheFlatFileIndexPrivate;
class CPathCacheFlatFileIndexCompareCallback;

class CPathCacheFlatFileIndex : public IDirChange {
public:
    using FolderTrie = CPathCacheOrderedT<CPathCacheScanDataPtr>;
    using CacheNode = FolderTrie::Node;
    using CacheNodePtr = FolderTrie::NodePtr;
    using NodeIterator = CPathCacheOrderedTNodeIterator<CPathCacheScanDataPtr>;

    static constexpr size_t kDefaultCacheCapacity = 2000;
    static constexpr size_t kDefaultCacheMaxFiles = 1000000;

    CPathCacheFlatFileIndex();
    ~CPathCacheFlatFileIndex() override;
    // Copies share the state.
    CPathCacheFlatFileIndex(const CPathCacheFlatFileIndex&) = default;
    CPathCacheFlatFileIndex& operator=(const CPathCacheFlatFileIndex&) = default;

    // ---- Configuration (before the backing files are set) ----
    // Parsers turn a line's fields into item information (none by default: items stay empty, and
    // deleted marks are not seen).
    void SetCurrentBackingFileParser(std::shared_ptr<CFlatFileIndexParser> parser);
    void SetPreviousBackingFileParser(std::shared_ptr<CFlatFileIndexParser> parser);
    // Writes the fields of the item information (none by default).
    void SetItemInfoFormatter(std::shared_ptr<CFlatFileIndexFormatter> formatter);
    void SetAncestorItemInfoFactory(std::shared_ptr<CAncestorItemInfoFactory> factory);
    // Off (the default): folders only; a question about a file is answered for its folder.
    void SetIncludeFiles(bool on);
    bool IsIncludeFiles() const;
    // Closes the previous backing file after each read (fewer open files, more opens); a reopened
    // file must still be the one loaded (size, time and inode), or reads fail.
    void SetClosePreviousBackingFileAfterEachUse(bool on);
    // File lines then carry "|<DPtim>", "|<DPloc>", "|<DPrsn>" fields.
    void SetAddDecisionPointInformation(bool on);
    // Lines without fields get no item information (less memory).
    void SetAvoidLoadingEmptyItemInfo(bool on);
    // Collect questions about files answer from the "added to collect" field of the current items.
    void EnableDetailedCollectQuery(bool on);
    void SetDecodePreviousDirChange(bool on);
    void SetEncodeCurrentDirChange(bool on);
    // Logs each decision of AddCurrentFolder at level 2.
    void SetLogDecisions(bool on);
    void SetDirchangeCacheCapacity(size_t capacity);
    void SetDirchangeCacheMaxFilesLimit(size_t maxFiles);
    size_t GetDirchangeCacheCapacity() const;
    size_t GetDirchangeCacheMaxFilesLimit() const;
    void ClearCache();

    // ---- Backing files ----
    // Reads the folder lines of the previous job's backing file ("LoadFromPreviousBackingFile
    // failed, FileName=[...]" on failure). Folders go through `mapper` (host to proxy) when given.
    CKoError SetPreviousBackingFile(const std::string& path, ContentMapperAPI* mapper);
    // Creates or reopens the current job's backing file; what it holds already (a restarted job)
    // is read as for the previous file, and a torn last line is cut off.
    CKoError SetCurrentBackingFile(const std::string& path, ContentMapperAPI* mapper);
    std::string GetPreviousBackingFilePath() const;
    std::string GetCurrentBackingFilePath() const;
    bool IsPreviousBackingFileLoaded() const;
    bool IsCurrentBackingFileLoaded() const;
    // What the last load of a backing file found and left out.
    SDirChangeLoadReport GetLoadReport(DirChangeSourceEnum source) const;
    // Writes what is buffered for the current backing file and makes it durable.
    CKoError SyncCurrentBackingFile();

    // ---- IDirChange ----
    bool IsPreviousDirChangeLoaded() const override;
    // With include-files on, a question about a folder is answered by its own previous-job bit.
    bool IsItemInPreviousJob(const std::string& path, PREVIOUS_JOB_FLAGS which) override;
    bool IsItemInPreviousJob(const std::string& path, BDirChangeItemFlags& flags, PREVIOUS_JOB_FLAGS which) override;
    bool IsItemInCurrentCollect(const std::string& path, CURRENT_COLLECT_FLAGS which) override;
    bool IsItemInCurrentCollect(const std::string& path, BDirChangeItemFlags& flags,
                                CURRENT_COLLECT_FLAGS which) override;
    bool IsItemInCurrentDirChange(const std::string& path, CURRENT_JOB_FLAGS which) override;
    bool IsItemInCurrentDirChange(const std::string& path, BDirChangeItemFlags& flags,
                                  CURRENT_JOB_FLAGS which) override;
    bool IsItemEligibleForCurrentCollect(const std::string& path, CURRENT_JOB_FLAGS which) override;
    bool IsItemEligibleForCurrentCollect(const std::string& path, BDirChangeItemFlags& flags,
                                         CURRENT_JOB_FLAGS which) override;
    CKoError LoadFile(const std::string& fileName, ContentMapperAPI* mapper) override;
    CKoError AddItem(const std::string& path, BDirChangeItemFlags flags, const std::string& text,
                     const FVBasePtr& info) override;
    // Merges the flags into the path's record (with include-files off, file items are ignored).
    CKoError AddCurrentItem(const std::string& path, BDirChangeItemFlags flags, const std::string& text,
                            const FVBasePtr& info) override;
    // Nothing to do: folders above written folders are written with them.
    CKoError IdentifyIntermediateNodes() override;
    CKoError WriteCurrentCollectFile(const std::string& fileName, int64_t& fileCount) override;
    CKoError WriteDeletedItems(FILE* file, bool listEveryItem) override;
    // A compacted copy of the current DirChange: per folder with a current-job bit, its folder
    // line and its current files in name order.
    CKoError WriteCurrentDirChangeFile(const std::string& fileName) override;
    void DumpDiagnosticData() override;
    int64_t GetMemoryUsed() override;

    // The previous-job question, also handing out the folder record found.
    virtual bool IsItemInPreviousJob(const std::string& path, PREVIOUS_JOB_FLAGS which, CPathCacheScanDataPtr& data);
    virtual bool IsWritten(const std::string& path, ACTIVITY_FLAGS bit);
    virtual CKoError SetWritten(const std::string& path, ACTIVITY_FLAGS bit);
    // A folder's current information, or a file's item in its folder's current items.
    virtual bool GetCurrentDirChangeInfo(const std::string& path, CURRENT_JOB_FLAGS which, FVBasePtr& info);

    // ---- Writing the current DirChange ----
    // Writes the folder line (and before it the lines of its ancestors not yet written, up to a
    // content root's parent marked by AddSurface) unless the folder was written already, then a
    // file line per entry of `files` (starting a new block when another folder was written since).
    // The ancestors' information comes from `factory` when given, else from the index's factory.
    CKoError AddCurrentFolder(const std::string& folder, const FXCodeLocation& location, const std::string& reason,
                              const FVBasePtr& folderInfo, const FlatFileIndexFileItemMap& files,
                              CAncestorItemInfoFactory* factory = nullptr);
    CKoError AddCurrentFolder(const std::string& folder, const FXCodeLocation& location, const std::string& reason,
                              const FlatFileIndexFileItemMap& files);
    // Marks the folder and everything below it deleted in the current job and writes a folder
    // line carrying the deleted field. An unknown folder is ignored.
    CKoError DeleteCurrentFolder(const std::string& folder, const FXCodeLocation& location, const std::string& reason);
    // Carries the previous job's folder and every folder below it into the current job unscanned.
    CKoError CopyBlockFromPrevDCToCurDC(const std::string& folder);
    // Appends the line as it is.
    CKoError RawWriteLineCurrent(const std::string& line);
    // Rewrites the current backing file compacted (one block per folder) and goes on with it.
    CKoError UpdateCurrentDirChangeFile();
    // Registers a content root: its ancestors are path steps, and the root "/" is never written.
    CKoError AddSurface(const std::string& path);

    // ---- Reading ----
    CKoError GetPreviousItems(const std::string& folder, FlatFileItemMapPtr& items);
    CKoError GetCurrentItems(const std::string& folder, FlatFileItemMapPtr& items);
    CKoError GetItems(const std::string& folder, FlatFileItemMapPtr& previous, FlatFileItemMapPtr& current);
    // A trie search: the result and the record of the node it names.
    CKoError GetFolderData(const std::string& path, EPathCacheResult& result, CPathCacheScanDataPtr& data);
    // Pre-order over every folder of the trie, starting at the root (whose path is empty). Not
    // locked: the caller keeps the index unchanged while iterating.
    NodeIterator GetIterator() const;

    // ---- Comparison (PathCacheFlatFileIndexCompare.cpp) ----
    // Flag of Compare: descend into folders present in one view only (their files and subfolders
    // are then reported one by one); without it only OnInIndex1RecurseIntoDeletedFolder can.
    static constexpr uint32_t kCompareRecurseAlways = 0x1;
    // The previous job against the current job of this index.
    CKoError Compare(CPathCacheFlatFileIndexCompareCallback& callback, uint32_t flags);
    // The previous DirChange of `index1` against the current DirChange of `index2`.
    static CKoError Compare(CPathCacheFlatFileIndex& index1, CPathCacheFlatFileIndex& index2,
                            CPathCacheFlatFileIndexCompareCallback& callback, uint32_t flags);

    // The shared state (for the index comparison and the buffer, which work on it directly).
    const std::shared_ptr<CPathCacheFlatFileIndexPrivate>& GetPrivate() const { return m_d; }

private:
    std::shared_ptr<CPathCacheFlatFileIndexPrivate> m_d;
};
