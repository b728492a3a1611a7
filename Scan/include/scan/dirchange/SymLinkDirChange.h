// The segment DirChange: reads the previous job's tree DirChange file like CDirChange, but keeps
// only folders in memory. For each folder it remembers the byte ranges (segments) of the
// DirChange file that hold the folder's file lines, separately for the previous job's file and
// for the current job's file, and reads a folder's names back only when a file is asked about;
// one process-wide cache holds the names of the folder read last.
//
// Items are added with a SymLinkItemInfo saying where the item's line ends (and begins) in the
// DirChange file; a folder item starts a segment there, and the next folder item ends it. The
// scan writes the current job's tree DirChange file itself (see CDirChangeRecorder) and names it
// with setCDFInfo.
//
// Damaged input: a line torn by the end of the file, a folder line that is not an absolute path,
// a line longer than 64 KiB, and file lines with no usable folder line before them are left out
// and counted (GetLoadReport). A segment is read only up to the first line that is not a whole
// TAB line, and a segment that does not start a line is refused, so names are never taken from
// another folder's lines.
//
// One thread uses an object; only the name cache is shared (and locked).
#pragma once

#include <memory>
#include <set>
#include <string>

#include "core/KoError.h"
#include "scan/dirchange/DirChangeLoadReport.h"
#include "scan/dirchange/IDirChange.h"
#include "scan/dirchange/PathCache.h"
#include "scan/dirchange/PathCacheNode.h"
#include "scan/dirchange/SymLinkItemInfo.h"

class SymLinkDirChange : public IDirChange {
public:
    using Trie = CPathCacheOrderedT<PathCacheNodePtr>;

    SymLinkDirChange();
    ~SymLinkDirChange() override;
    SymLinkDirChange(const SymLinkDirChange&) = delete;
    SymLinkDirChange& operator=(const SymLinkDirChange&) = delete;

    bool IsPreviousDirChangeLoaded() const override { return m_previousLoaded; }
    // Each question asks search(path, flags) with the kind asked about and answers true for
    // FOUND_EXACT with a bit of the group asked about in the folder's flags. There is no
    // include-files switch: files are always tracked.
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

    // Reads the previous job's tree DirChange file ("Failed to open previous DirChange file,
    // FileName=..." when it cannot be opened); folders through `mapper` when given.
    CKoError LoadFile(const std::string& fileName, ContentMapperAPI* mapper) override;
    // `info` must be a SymLinkItemInfo (errno 22 otherwise). A file item (CD_FILE, CC_FILE or
    // PD_FILE) belongs to its folder; its current-job flags are merged into the folder's.
    CKoError AddItem(const std::string& path, BDirChangeItemFlags flags, const std::string& text,
                     const FVBasePtr& info) override;
    CKoError IdentifyIntermediateNodes() override;
    void DumpDiagnosticData() override;

    // A file (flags with CD_FILE, CC_FILE or PD_FILE) is looked up in its folder's registry
    // (previous for PD_FILE, current otherwise); `flags` gets the folder's flag word.
    virtual EPathCacheResult search(const std::string& path, BDirChangeItemFlags& flags);
    virtual EPathCacheResult search(const std::string& path, BDirChangeItemFlags& flags, FVBasePtr& info);
    void setPDFInfo(const SymLinkItemInfoPtr& info);
    void setCDFInfo(const SymLinkItemInfoPtr& info);
    const SymLinkItemInfo& GetPDFInfo() const { return m_previousFile; }
    const SymLinkItemInfo& GetCDFInfo() const { return m_currentFile; }

    // Whether the previous (or current) job had the file, with read errors handed back instead
    // of counting the file as present.
    CKoError LookupFile(const std::string& path, bool previous, bool& found);
    // The names of a folder in the previous (or current) job's file, read without the name cache.
    // The writer of the current file writes out what it buffers before the current side is read.
    CKoError ReadNames(const PathCacheNode& node, bool previous, std::set<std::string>& names);
    // The folder's own flags (FOUND_EXACT), or null.
    PathCacheNode* FindFolder(const std::string& path);
    bool IsWritten(const std::string& path, ACTIVITY_FLAGS bit);
    CKoError SetWritten(const std::string& path, ACTIVITY_FLAGS bit);
    // Ends the segment the last folder item started, at `offset` (the end of its block).
    void CloseOpenSegment(int64_t offset);
    const Trie& GetTrie() const { return *m_trie; }
    const SDirChangeLoadReport& GetLoadReport() const { return m_report; }

private:
    // The file of one job with its reader.
    const SymLinkItemInfo& FileInfo(bool previous);

    std::shared_ptr<Trie> m_trie;
    bool m_previousLoaded = false;
    SymLinkItemInfo m_previousFile;
    SymLinkItemInfo m_currentFile;
    // The folder that received the last item, and the segment it has open.
    std::string m_lastFolder;
    PathCacheNode* m_lastNode = nullptr;
    PathCacheNode* m_openNode = nullptr;
    BDirChangeItemFlags m_openFlags;
    // The last folder found by a question.
    std::string m_findPath;
    PathCacheNode* m_findNode = nullptr;
    SDirChangeLoadReport m_report;
};
