// The scan side of committing a stopped job. A stopped job that was committed keeps what its
// data readers backed up; the rest of its collect files is "uncommitted" and the next job must
// pick it up. Given the committed job, ScanCommitJobs
// 1. builds the commit collect file "Commit_J<commit job id>_Collect.zyf" in the job-results
//    folder: the tail of every data collect file from its restart offset on, then the container
//    collect of the extent database (when there is one), then "FailedFileRetryCollect.zyf";
// 2. copies the committed job's DirChange to "Commit_J<id>_DirChange.zyf" (or ".db"), the state
//    the new job compares against;
// 3. hands the uncommitted lines to the scan (ProcessUncommittedItems, AppendCommitFileToThisFile);
// 4. when the committed job ran before a synthetic full, carries its incremental collect files
//    forward as the full collect files of the new cycle.
//
// Restart offsets come from the committed job's restart map ("restartMapTot" or "restartMapInc":
// "<collect id> <offset>" lines; offset 0 the whole file, -1 nothing) and are overridden by the
// job manager's restart string for the job ("-o <id>|<offset>@<id>|<offset>..."; -1 nothing).
// Collect id n names the collect file "CollectTot<n>.zyf" or "CollectInc<n>.zyf".
//
// The commit collect file appears (by rename) only once complete; a complete pair of commit
// files is reused by a restarted job, an incomplete one rebuilt, and the commit files of any
// other commit job id are removed. All files go through the file-system seam.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "core/Env.h"
#include "core/KoError.h"
#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/jobstate/RestartMapFileHandler.h"

// Takes one uncommitted collect line.
using UncommittedCallback = std::function<CKoError(const std::string& line)>;

class ScanCommitJobsPrivate;

class ScanCommitJobs {
public:
    // Restart offsets of the restart entries.
    static constexpr int64_t kSkipFile = -999;  // nothing of the file is uncommitted
    static constexpr int64_t kWholeFile = -1;   // all of it is

    // Computes every path; does no I/O. The commit job's backup level chooses Tot or Inc names
    // (1, 64, 128 and 16384 are full).
    ScanCommitJobs(const std::string& serverName, int64_t currentJobId, int64_t commitJobOrderKey,
                   int64_t synthFullOrderKey, int64_t commitJobId, long backupLevel, const std::string& jobResultsFolder,
                   EDirChangeMethod dirChangeMethod, const std::string& dirChangeFilePath, bool carryForwardForSynthFull);

    void SetExtentBackup(bool extentBackup);
    void SetExtentContainerCollectFormDBPath(const std::string& path);

    bool IsCommitJobTypeFull() const;
    std::string GetCommitFileName() const;
    std::string GetCommitDirChangeFileName() const;
    std::string GetCommitDirChangeDatabaseName() const;

    // Builds the commit files, or reuses a complete pair built before for this commit job.
    CKoError CreateCommitFile();
    // Passes each uncommitted line (not a deletion of an item that exists again) to `callback`,
    // which may be null (the lines are only read then).
    CKoError ProcessUncommittedItems(UncommittedCallback* callback);
    // Appends the uncommitted lines to an open file; `targetName` is for messages.
    CKoError AppendCommitFileToThisFile(FILE* target, const std::string& targetName);
    CKoError AppendCommitFileToThisFile(FXWritableFile* target, const std::string& targetName);

    // Copy the incremental extent collect files to their full names.
    CKoError RenameFileExtentEligibleCollects();
    CKoError RenameFileExtentNumCollects();
    void ReplaceFileExtentEligiblePrefix(std::string& text) const;
    void ReplaceFileExtentNumcolPrefix(std::string& text) const;

    // Line hooks of the copy: the conversion of extent lines (while the convert flag is set),
    // the copy filter (drops nothing) and the post-copy hook (does nothing).
    void PreProcessEntry(std::string& line);
    bool FilterEntry(const std::string& line) const;
    void PostProcessEntry(const std::string& line);
    // The filter of the uncommitted walk: a deletion line ("??d<path>", "??D<path>/") whose item
    // exists again.
    bool IsIIMEntryExisted(const std::string& line) const;

    // The steps of the offset look-up, public for the callers that test or explain them.
    CKoError FindOffsetDataFromRestartMapFile();
    CKoError ParseRestartString(const std::string& restartString);
    const std::map<int, CRestartMapFileEntry>& GetRestartEntries() const;

    static void ConvertFileExtentEntryToRegularCollectEntry(std::string& line);
    // "...DCTot.zyf" -> "...DirChangeFull.db", "...DCInc.zyf" -> "...DirChangeIncremental.db".
    static std::string CreateDirChangeContainerNameFromFileName(const std::string& path);

    // For the jobs that produce what a commit reads:
    // "restartMapTot" / "restartMapInc", and the collect file name of a collect id.
    static std::string RestartMapFileName(bool full);
    static std::string CollectFileName(bool full, int collectId);
    // Writes a restart map ("<id> <offset>" lines, in id order) durably.
    static CKoError WriteRestartMapFile(const std::string& path, const std::map<int, int64_t>& offsets);
    // "-o <id>|<offset>@..." in id order, an offset of kSkipFile written as -1; empty for no files.
    static std::string FormatRestartString(const std::map<int, int64_t>& offsets);

private:
    std::shared_ptr<ScanCommitJobsPrivate> m_private;
};
