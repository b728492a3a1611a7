// The DirChange: which items the previous backup job saw, and which the current job has put into
// its DirChange and its collect list.
//
// IDirChange is what the scanner asks, item by item, and what records the current job's items;
// at the end of the scan it writes the current DirChange file, the current collect file and the
// list of deleted items. CDirChange is the tree implementation: previous-job and current-job flag
// words of every path live in the same node of one path trie, loaded from the previous job's tree
// DirChange file.
//
// Paths are byte strings as the caller gives them (the scanner escapes names so that no line of a
// DirChange file can hold LF or CR); nothing here escapes or decodes them.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "core/KoError.h"
#include "core/Sync.h"
#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/dirchange/IDirChange.h"
#include "scan/dirchange/FVBase.h"
#include "scan/dirchange/PathCache.h"


// The tree DirChange. Every public operation holds the object's lock for its whole duration, so
// the scanner's worker threads may share one object.
//
// Order of use: SetIncludeFiles and LoadFile; then, during the scan, the questions, AddItem and
// CarryForward; then IdentifyIntermediateNodes; then the writers.
class CDirChange : public IDirChange {
public:
    using Trie = CPathCacheOrderedT<BDirChangeItemFlags>;

    CDirChange();
    ~CDirChange() override;
    CDirChange(const CDirChange&) = delete;
    CDirChange& operator=(const CDirChange&) = delete;

    // Lists the whole trie on the debug log (level 5), prefix "DirChange".
    void DumpDiagnosticData() override;
    // Lists the deleted items on the debug log (level 5), prefix "DeletedItems".
    void DumpDeletedItems() override;
    // The trie's own estimate, in bytes, plus the object itself.
    int64_t GetMemoryUsed() override;
    // Opens `fileName` ("wb") and writes the current DirChange into it (WriteCurrentDirChange).
    // Only the open can fail: write errors are not reported here; a caller that must know of
    // them (a full disk) writes to a stream of its own with WriteCurrentDirChange.
    CKoError WriteCurrentDirChangeFile(const std::string& fileName) override;
    // One line per collected item ("*??path", counted) and per folder that only leads to
    // collected items ("???path?", not counted); leaves before inner nodes in every folder.
    CKoError WriteCurrentCollectFile(const std::string& fileName, int64_t& fileCount) override;
    // One line per item with previous-job bits and no current-job bit: "??d" + path for files and,
    // with listEveryItem, for folders (path ending in "/"); without listEveryItem a deleted folder
    // is "??D" + path + "/" and what is below it is not listed. Writing stops at the first failed
    // write, whose error is returned; the stream stays the caller's.
    CKoError WriteDeletedItems(FILE* file, bool listEveryItem) override;
    bool IsPreviousDirChangeLoaded() const override;

    // True when the path is an item of the previous job. With include-files off, files are not
    // tracked: a question about a file (PD_FILE) is answered for its folder, and true when the
    // path has no parent. With include-files on, only files are answered for: a question about a
    // folder (PREVIOUSDIRCHANGE alone) is false.
    bool IsItemInPreviousJob(const std::string& path, PREVIOUS_JOB_FLAGS which) override;
    bool IsItemInPreviousJob(const std::string& path, BDirChangeItemFlags& flags, PREVIOUS_JOB_FLAGS which) override;
    // True when the path is in the current collect: any current-collect bit; with include-files
    // on only for a CC_FILE question about an item with CC_FILE. With include-files off a CC_FILE
    // question is false.
    bool IsItemInCurrentCollect(const std::string& path, CURRENT_COLLECT_FLAGS which) override;
    bool IsItemInCurrentCollect(const std::string& path, BDirChangeItemFlags& flags,
                                CURRENT_COLLECT_FLAGS which) override;
    // The same for the current DirChange (current-job bits, CD_FILE).
    bool IsItemInCurrentDirChange(const std::string& path, CURRENT_JOB_FLAGS which) override;
    bool IsItemInCurrentDirChange(const std::string& path, BDirChangeItemFlags& flags,
                                  CURRENT_JOB_FLAGS which) override;
    // As IsItemInCurrentDirChange, except that with include-files off a CD_FILE question is true
    // (files are not tracked, so every file may go to the collect).
    bool IsItemEligibleForCurrentCollect(const std::string& path, CURRENT_JOB_FLAGS which) override;
    bool IsItemEligibleForCurrentCollect(const std::string& path, BDirChangeItemFlags& flags,
                                         CURRENT_JOB_FLAGS which) override;
    // The flag-word overloads above leave in `flags` what the search found: the path's own flags
    // for an exact match, those of the nearest ancestor with data otherwise, nothing new when no
    // node on the path has data. A question answered without a search leaves `flags` alone.

    // Missing file: the open error with "Failed to open previous DirChange file, FileName=[...]".
    // Lines that cannot be inserted are logged and skipped; any bytes load without harm.
    CKoError LoadFile(const std::string& fileName, ContentMapperAPI* mapper) override;
    // With include-files off an item with a file bit (CC_FILE, CD_FILE, PD_FILE) is ignored. A
    // failed insertion is logged and still succeeds. `text` and `info` are not stored.
    CKoError AddItem(const std::string& path, BDirChangeItemFlags flags, const std::string& text,
                     const FVBasePtr& info) override;
    CKoError AddCurrentItem(const std::string& path, BDirChangeItemFlags flags, const std::string& text,
                            const FVBasePtr& info) override;
    // Every folder on the way up from a current item (CURRENTDIRCHANGE, resp. CURRENTCOLLECT) gets
    // CD_INTERMEDIATE (resp. CC_INTERMEDIATE), up to the first folder that already belongs to the
    // current DirChange (resp. collect).
    CKoError IdentifyIntermediateNodes() override;

    // The trie search: the result, and the flags of the node it names (left alone for NOT_FOUND).
    virtual EPathCacheResult search(const std::string& path, BDirChangeItemFlags& flags);
    // The same; `info` is left untouched (this DirChange keeps no item information).
    virtual EPathCacheResult search(const std::string& path, BDirChangeItemFlags& flags, FVBasePtr& info);
    // Whether the path's own node carries the activity bit.
    virtual bool IsWritten(const std::string& path, ACTIVITY_FLAGS bit);
    virtual CKoError SetWritten(const std::string& path, ACTIVITY_FLAGS bit);

    // Writes the current DirChange to a stream the caller owns: for every node with a current-job
    // bit, in name order with a folder's files before its subfolders, a folder line (the folder
    // with a trailing "/", UNC moniker form) whenever the folder changes, and a TAB line per file.
    // Stops at the first failed write and returns its error; the caller still checks its stream
    // (fflush, fclose) for errors that show only when buffered data is written.
    virtual CKoError WriteCurrentDirChange(FILE* out);
    // For an item the scan could not read or examine: what the previous job recorded at and below
    // `path` is kept for the next job, neither reported deleted nor forgotten. Every node there
    // with previous-job bits joins the current DirChange (PREVIOUSDIRCHANGE -> CURRENTDIRCHANGE,
    // PD_FILE -> CURRENTDIRCHANGE|CD_FILE, merged as AddItem merges), and the folders above it
    // are marked as IdentifyIntermediateNodes would mark them, so the call may come before or
    // after that. A path the previous job did not know changes nothing.
    virtual CKoError CarryForward(const std::string& path);

    // Off (the default): the DirChange tracks folders only. Set before LoadFile.
    void SetIncludeFiles(bool includeFiles);
    bool IsIncludeFiles() const { return m_includeFiles.load(std::memory_order_relaxed); }
    // The caller's stop watch (may be null) runs during every trie access. It must outlive this
    // object or be replaced first; it is only touched under this object's lock.
    void SetStopWatchProcess(CStopWatch* stopWatch);

private:
    // A scan asks about and adds the items of one folder after another, so the nodes of the
    // folders asked about last are kept: an item's node is then looked up among its folder's
    // children instead of from the root. Nodes are never removed, so an entry never goes stale.
    struct FolderCacheEntry {
        std::string folder;  // the path as the caller wrote it, up to the item's last "/"
        Trie::NodePtr node;
    };
    static constexpr size_t kFolderCacheSize = 8;  // a few scanner threads working in turn

    EPathCacheResult SearchLocked(std::string_view path, BDirChangeItemFlags& flags);
    // The folder node of `path` and the item's name in it; null when the path does not name an
    // item below a folder or that folder is not in the trie.
    Trie::Node* FolderOfLocked(std::string_view path, std::string_view& name);
    CKoError WriteCurrentDirChangeLocked(FILE* out);
    CKoError LoadFileLocked(const std::string& fileName, ContentMapperAPI* mapper);

    std::atomic<bool> m_includeFiles{false};
    FXCriticalSection m_lock;
    std::shared_ptr<Trie> m_trie;
    std::atomic<bool> m_previousLoaded{false};
    CStopWatch* m_stopWatch = nullptr;
    FolderCacheEntry m_folderCache[kFolderCacheSize];
    size_t m_folderCacheNext = 0;  // the entry to replace next
    size_t m_folderCacheLast = 0;  // the entry used last
};
