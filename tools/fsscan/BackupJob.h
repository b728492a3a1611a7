// The data side of a backup, standing in for the agent's data readers: reads the last scan's
// collect files with a pool of reader threads and keeps DEST a mirror of what they name.
//
// The collect files come from the scan's collect-files description through a collect info
// manager. Each reader records in the collect map (restart map) how far it got, every few
// thousand items and when a file is done, so a backup that stops for any reason (SIGKILL
// included) continues where it was when run again. Items that cannot be read are recorded in
// the scan-error file and raised as pending causes at the end.
#pragma once

#include <cstdint>
#include <string>

#include "core/KoError.h"

struct SBackupJobOptions {
    std::string resultsDir;
    std::string dest;
    unsigned streams = 1;
    unsigned checkpointItems = 2000;  // items between restart-map updates
};

struct SBackupJobSummary {
    long long jobId = 0;
    bool restarted = false;
    bool alreadyDone = false;
    uint64_t files = 0, folders = 0, links = 0, others = 0, bytes = 0, deleted = 0, vanished = 0;
    uint64_t unreadable = 0;  // items recorded in the scan-error file (this run and earlier ones)
    double seconds = 0;
};

class CBackupJob {
public:
    explicit CBackupJob(SBackupJobOptions options) : m_options(std::move(options)) {}
    CKoError Run();
    const SBackupJobSummary& Summary() const { return m_summary; }

    // The message id of a "cannot back up this item" record in the scan-error file.
    static constexpr uint32_t kItemUnreadableMessageId = 0x11000105;

private:
    SBackupJobOptions m_options;
    SBackupJobSummary m_summary;
};

// "fsscan backup ...": parses the arguments, runs the backup, prints the summary; the exit code.
int RunBackupCommand(int argc, char** argv);
