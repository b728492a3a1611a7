// What a scan job does with its DirChange, whatever kind keeps it: load the previous job's
// DirChange, answer the walk's questions, record what the walk finds, carry forward what it could
// not read, write this job's DirChange and list what was deleted since the previous job.
//
// Each kind is driven differently underneath (the tree DirChange takes every item, the flat-file
// index takes a folder's files as one block, the segment DirChange takes items with their place in
// the DirChange file the scan writes), and all three give the same answers: same files new, same
// folders new, same deleted items.
//
// Use: Create, LoadPrevious (incremental jobs), StartCurrent, AddSurface per content root, then the
// walk in its order (a folder before what is in it), then EndScan, then WriteDeletedItems. One
// thread drives a recorder.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "core/KoError.h"
#include "scan/dirchange/DirChangeKind.h"
#include "scan/dirchange/DirChangeLoadReport.h"
#include "scan/dirchange/IDirChange.h"

class ContentMapperAPI;

class CDirChangeRecorder {
public:
    struct SOptions {
        // Off: only folders are kept; a file counts as known when its folder was.
        bool includeFiles = true;
        // Flat kind: rewrite the current DirChange at the end with one block per folder.
        bool compactAtEnd = false;
        // Flat and segment kinds list a folder's deleted files when the walk leaves it; beyond
        // this many bytes the lines wait in a file beside the current DirChange ("<file>.deleted").
        size_t deletedItemsInMemory = 4 * 1024 * 1024;
    };

    static CKoError Create(EDirChangeKind kind, const SOptions& options, std::unique_ptr<CDirChangeRecorder>& out);
    virtual ~CDirChangeRecorder();

    virtual EDirChangeKind GetKind() const = 0;
    virtual std::shared_ptr<IDirChange> GetDirChange() const = 0;

    // Reads the previous job's DirChange (folders through `mapper`, host to proxy, when given). An
    // error means the job cannot be incremental: it runs full and says why with the error.
    virtual CKoError LoadPrevious(const std::string& fileName, ContentMapperAPI* mapper) = 0;
    // What loading found and left out (empty for the tree kind, which does not count).
    virtual SDirChangeLoadReport GetLoadReport() const = 0;
    // Where this job's DirChange goes; a file already there is replaced.
    virtual CKoError StartCurrent(const std::string& fileName) = 0;
    // A content root: the folders above it belong to the DirChange as path steps.
    virtual CKoError AddSurface(const std::string& root) = 0;

    // ---- during the walk ----
    virtual bool IsFileInPreviousJob(const std::string& path) = 0;
    // True when the previous job had the path as a folder.
    virtual bool IsFolderInPreviousJob(const std::string& path) = 0;
    virtual CKoError AddFolder(const std::string& path) = 0;
    virtual CKoError AddFile(const std::string& path, bool collected) = 0;
    // For an item the walk could not read or examine: what the previous job had at and below the
    // path stays in the DirChange, neither reported deleted nor forgotten.
    virtual CKoError CarryForward(const std::string& path) = 0;
    // The collect writer's bookkeeping of folders already written to the collect file.
    virtual bool IsWritten(const std::string& folder) = 0;
    virtual CKoError SetWritten(const std::string& folder) = 0;

    // ---- after the walk ----
    // Completes this job's DirChange file (written and synced).
    virtual CKoError EndScan() = 0;
    // The items of the previous job that this job does not have ("??d"/"??D" lines).
    virtual CKoError WriteDeletedItems(FILE* out, bool listEveryItem) = 0;

protected:
    CDirChangeRecorder() = default;
};
