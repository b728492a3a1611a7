// The data side of a backup, standing in for the agent's data readers: reads the last scan's
// collect files with a pool of reader threads and keeps DEST a mirror of what they name.
//
// The collect files come from the scan's collect-files description through a collect info
// manager. Each reader records in the collect map (restart map) how far it got, every few
// thousand items and when a file is done, so a backup that stops for any reason (SIGKILL
// included) continues where it was when run again. Items that cannot be read are recorded in
// the scan-error file and raised as pending causes at the end.
//
// Job files are not trusted: a collect line whose path is not clean or lies outside the job's
// content is refused (recorded like an unreadable item, never acted upon), a collect file that
// is not as long as the scan wrote it or a description naming files outside the job-results
// folder fails the job, and a restart offset outside its collect file restarts that file from
// its beginning. Every file-system operation on DEST and the content is confined (see Mirror.h).
#pragma once

#include <cstdint>
#include <string>

#include "core/KoError.h"

struct SBackupJobOptions {
    std::string resultsDir;
    std::string dest;
    unsigned streams = 1;
    unsigned checkpointItems = 2000;  // items between restart-map updates
    bool showProgress = false;  // a progress line on standard error when it is a terminal
    // Keeps each item's owner, mode, times and security metadata in the job-results folder's
    // backup metadata store (see BackupMetadataStore.h), so a restore can give them back.
    bool keepMetadata = true;
    // Puts each read file's access time back and folds the files' new change times into the
    // volume's change-time database, so the next incremental does not take them for changed.
    bool preserveAtime = false;
};

struct SBackupJobSummary {
    long long jobId = 0;
    bool restarted = false;
    bool alreadyDone = false;
    unsigned threads = 0;  // reader threads started: no more than collect files with work left
    uint64_t files = 0, folders = 0, links = 0, others = 0, bytes = 0, deleted = 0, vanished = 0;
    uint64_t unreadable = 0;  // items recorded in the scan-error file (this run and earlier ones)
    uint64_t refused = 0;     // collect lines refused (this run and earlier ones)
    uint64_t atimesPreserved = 0;  // files whose access time was put back and recorded
    double seconds = 0;
};

class CBackupJob {
public:
    explicit CBackupJob(SBackupJobOptions options) : m_options(std::move(options)) {}
    CKoError Run();
    const SBackupJobSummary& Summary() const { return m_summary; }

    // The message id of a "cannot back up this item" record in the scan-error file.
    static constexpr uint32_t kItemUnreadableMessageId = 0x11000105;
    // The message id of a "collect line refused" record: a line naming a path that is not clean
    // or lies outside the job's content, or a line that cannot be read as an item.
    static constexpr uint32_t kLineRefusedMessageId = 0x11000106;

private:
    SBackupJobOptions m_options;
    SBackupJobSummary m_summary;
};

