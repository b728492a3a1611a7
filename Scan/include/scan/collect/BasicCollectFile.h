// Writes one collect file: the scan hands it one entry at a time with the formatter to use; the
// writer decides whether the entry is written at all, writes the entry's missing ancestor folders
// first (each once per file, top-most first), formats every line and appends a line feed.
//
// It remembers the folders it wrote and the folders that are ancestors of the subclient's content
// roots (surfaces) or carry a stream-affinity mark, so that no folder is written twice and surface
// ancestors are written the way the backup expects. A writer belongs to one thread; copies of the
// handle share the file and its state.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/KoError.h"
#include "core/LogWriter.h"
#include "scan/collect/CheckIfAlreadyPresent.h"
#include "scan/collect/CollectFileEntry.h"
#include "scan/collect/CollectLineFormatter.h"

class CBasicCollectFilePrivate;

class CBasicCollectFile {
public:
    // The value kept per folder in the not-counted map: a surface flag in bits 0-1 and the
    // affinity byte in bits 16-23.
    static constexpr uint32_t kSurfaceFlagMask = 0x3;
    static constexpr uint32_t kSurfaceAncestor = 1;  // written, but not counted
    static constexpr uint32_t kSurfaceTop = 2;       // never written; ancestor walks stop there
    static constexpr uint32_t kAffinityFabricated = 0x10000;           // folder lines get "|<FABRICATED>"
    static constexpr uint32_t kAffinityFabricationCandidate = 0x20000;  // settled by FinalizeAffinityFabricated
    // SetAffinity flags.
    static constexpr uint32_t kAffinityAncestors = 0x1;  // also every ancestor of the marked folder
    static constexpr uint32_t kAffinityParent = 0x2;     // mark the parent instead of the path itself

    CBasicCollectFile();
    virtual ~CBasicCollectFile();
    CBasicCollectFile(const CBasicCollectFile&) = default;
    CBasicCollectFile& operator=(const CBasicCollectFile&) = default;

    // Setup, before the first entry.
    void SetOutputFilePath(const std::string& path);
    const std::string& GetOutputFilePath() const;
    // Opens the output path: "ab+" when appending, else "wb".
    CKoError OpenOutputFile(bool append);
    // Writes to a stream opened elsewhere; the writer owns it from now on and leaves its buffering
    // as it is.
    void OpenOutputStream(FILE* stream);

    // Sets both is-full-backup and allow-folders.
    void SetIsFullBackup(bool isFullBackup);
    void SetAllowFolders(bool allow, bool verbose = false);
    bool IsAllowFolders() const;
    void SetAllowFoldersBelowSurface(bool allow);
    void SetAddAncestorPaths(bool add);
    void SetModifyMetadataForAncestor(bool modify);
    bool IsModifyMetadataForAncestor() const;
    void SetCheckIfAlreadyPresent(const std::shared_ptr<CCheckIfAlreadyPresent>& hook);
    void ResetCheckIfAlreadyPresent();
    // The hook's IsWritten/SetWritten keep the written folders instead of this writer.
    void SetDelegatePaths(bool delegate);
    // 0: no limit. Longer items are skipped (and not counted).
    void SetPathMaximumLength(uint64_t length);

    // Records the ancestors of a content root: the top-most is never written, the others are
    // written but not counted.
    void AddSurface(const std::string& path);
    // Records affinity << 16 on the path (or, with kAffinityParent, on its parent), and with
    // kAffinityAncestors on all its ancestors too.
    CKoError SetAffinity(const std::string& path, uint32_t affinity, uint32_t flags);
    // Once after the scan: every fabrication candidate without a candidate ancestor gets its
    // parent and the parent's ancestors marked fabricated.
    CKoError FinalizeAffinityFabricated();

    // Writing; entries may only be added while the file is open.
    CKoError AddEntry(const CCollectFileFileEntry& entry, CCollectLineFormatter& formatter);
    CKoError AddEntry(const CCollectFileFolderEntry& entry, CCollectLineFormatter& formatter);
    // The line and a line feed, as they are.
    CKoError RawWriteLine(const std::string& line);

    long long GetCountedFoldersWritten() const;
    long long GetCountedFilesWritten() const;
    // Estimates of the two folder maps.
    size_t GetPathsMemoryUsed() const;
    size_t GetPathsNotCountedMemoryUsed() const;

    // Flushes the stream; the stream itself is closed when the last handle goes.
    CKoError Close();

    void LogTimeCounters() const;
    // Lists the written folders ("Paths") and the surface and affinity marks ("PathsNotCounted").
    void DumpDiagnosticData(CLineWriter* writer) const;

    // Whether the folder was written (or marked written by a surface).
    virtual bool IsFolderAlreadyAdded(const std::string& path);

protected:
    // Around each ancestor line when modify-metadata-for-ancestor is set: the base saves and puts
    // back a start-character formatter's mount-point flag and preserved tags; derived writers
    // change the formatter in between.
    virtual CKoError ModifyAncestorMetadata(const std::shared_ptr<CCollectFileFolderEntry>& ancestor,
                                            CCollectLineFormatter& formatter, bool& savedMountPoint,
                                            std::string& savedTags);
    virtual CKoError ResetModifiedMetadata(CCollectLineFormatter& formatter, bool& savedMountPoint,
                                           std::string& savedTags);
    // Hooks of derived writers, called for every ancestor an entry is missing (the second only for
    // ad-hoc entries). The base does nothing.
    virtual CKoError ProcessFolderEntry(const CCollectFileEntry* entry,
                                        const std::shared_ptr<CCollectFileFolderEntry>& ancestor,
                                        CCollectLineFormatter& formatter);
    virtual CKoError ProcessCollectFileEntry(const std::string& path,
                                             const std::shared_ptr<CCollectFileFolderEntry>& ancestor, bool& flag);

    // One line without any ancestor handling: skips over-long paths and surface tops, counts.
    CKoError WriteEntry(const CCollectFileFileEntry& entry, CCollectLineFormatter& formatter);
    CKoError WriteEntry(const CCollectFileFolderEntry& entry, CCollectLineFormatter& formatter);

private:
    CKoError WriteMissingAncestors(const CCollectFileEntry& entry, CCollectLineFormatter& formatter);

    std::shared_ptr<CBasicCollectFilePrivate> m_p;
};
