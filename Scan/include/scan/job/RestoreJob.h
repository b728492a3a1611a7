// Restores what a backup kept: the mirror DEST (content, links, folders) and the backup metadata
// store of the job-results folder (owner, mode, times, extended attributes with the POSIX ACLs,
// inode flags) into a folder TARGET, each source path P at TARGET + P; all of it, or the items
// at or below given paths.
//
// Per item: content (holes kept), owner (as root), extended attributes and ACLs, mode, times;
// a folder's own metadata once everything below it is written, its times at the very end
// through the restore timestamp handler, and last of all the immutable and append-only flags
// (and "security.capability"), which would forbid what comes after them.
//
// Confinement: DEST and TARGET are reached by descriptor one component at a time, never through
// a symbolic link, and items are made under a temporary name and renamed into place, so no name
// in the backup and no link planted in TARGET (before or while the restore runs) makes anything
// be written outside TARGET. Existing items are replaced only with `overwrite`; existing
// folders are merged into.
//
// Items that cannot be restored, or whose metadata cannot be (a damaged record, an attribute the
// restoring user may not set), are listed with the reason in the summary and in "restore.out"
// of the restore's folder ("<job results>/Restore"); the restore goes on with the next item.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/KoError.h"

struct SRestoreJobOptions {
    std::string resultsDir;
    std::string from;  // the backup's DEST
    std::string to;    // TARGET
    std::vector<std::string> paths;  // clean absolute source paths; empty: everything
    bool overwrite = false;
    // Called once a folder stands in TARGET, before anything is written into it, with its source
    // path (tests change TARGET there, as another process could).
    std::function<void(const std::string&)> onFolder;
};

struct SRestoreFailure {
    std::string path;  // source path
    std::string reason;
};

struct SRestoreJobSummary {
    uint64_t files = 0, folders = 0, links = 0, others = 0, bytes = 0;
    uint64_t failed = 0;  // items listed as not (fully) restored
    std::vector<SRestoreFailure> failures;  // the first kMaxListed of them
    bool withoutMetadata = false;           // the backup kept no metadata store
    bool backupUnfinished = false;          // the last backup stopped before its end
    std::string resultsFile;                // "restore.out"
    double seconds = 0;
};

class CRestoreJob {
public:
    static constexpr size_t kMaxListed = 1000;

    explicit CRestoreJob(SRestoreJobOptions options) : m_options(std::move(options)) {}
    // Fails only when the restore cannot run at all; item failures are in the summary.
    CKoError Run();
    const SRestoreJobSummary& Summary() const { return m_summary; }

private:
    SRestoreJobOptions m_options;
    SRestoreJobSummary m_summary;
};
