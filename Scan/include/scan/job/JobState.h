// What a job-results folder remembers between fsscan jobs: the last successful scan (its level,
// start time, DirChange and collect files) and the last job id handed out. It is one XML file,
// replaced whole, and it is the commit point of a scan: until it names the new files, the next
// job works from the previous ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/KoError.h"

// A filter or exception a scan ran with (its source is not kept: only what it matched matters).
struct SScanFilterRecord {
    std::string pattern;
    bool exception = false;
    bool quick = false;  // a command-line pattern (tar and rsync style), else a subclient filter string
    bool operator==(const SScanFilterRecord& o) const {
        return pattern == o.pattern && exception == o.exception && quick == o.quick;
    }
};

struct SScanRecord {
    long long jobId = 0;
    bool full = true;
    bool includeFiles = true;
    long long startTimeMicros = 0;  // when the walk began
    std::string dirChangeFile;    // names inside the results folder
    unsigned long long dirChangeSize = 0;
    unsigned long long dirChangeHash = 0;  // detects a DirChange file that was damaged or replaced
    std::string dirChangeKind;  // "tree", "flat" or "segments" (empty: tree, as before kinds were recorded)
    std::vector<std::string> collectFiles;
    std::vector<unsigned long long> collectSizes;  // bytes of each collect file as the scan closed it
    std::string collectInfoFile;  // the collect-files description, when one was written
    // Paths (as DirChange keys) the scan could not read: the next incremental job collects
    // everything below them, since nothing tells what changed there meanwhile.
    std::vector<std::string> rescanPaths;
    // The real paths the job scanned, and the roots of the job before it that this one no longer
    // has: the backup acts on nothing outside them (deletions may also lie below a former root).
    std::vector<std::string> contentRoots;
    std::vector<std::string> formerRoots;
    // Files of the scan still under the names it wrote them with (synced) and the names above
    // they take: the scan's renames after its commit, which Load finishes if they were cut short.
    std::vector<std::pair<std::string, std::string>> pending;
    // The filters and exceptions the scan applied (a state written before filters existed has
    // none, which is what such a scan applied): the next job collects what they left out and it
    // does not.
    std::vector<SScanFilterRecord> filters;
};

class CScanJobState {
public:
    static constexpr const char* kFileName = "FsScanState.xml";

    // A folder without a state file gives an empty state. A state whose job ids are negative or
    // whose file names are not plain names inside the folder is refused as damaged. The renames
    // the last scan had pending are finished (FinishPending) before the state is given out.
    CKoError Load(const std::string& resultsDir);
    CKoError Save(const std::string& resultsDir) const;
    // Gives the pending files of the last scan their names; those already renamed are passed.
    CKoError FinishPending(const std::string& resultsDir) const;

    bool hasLastScan = false;
    SScanRecord lastScan;
    long long lastJobId = 0;
    // The scan job whose collect files the last backup read, and whether it read all of them.
    long long backupJobId = 0;
    bool backupDone = false;
};

// Size and 64-bit FNV-1a hash of a file's bytes.
CKoError HashFile(const std::string& path, unsigned long long& size, unsigned long long& hash);
// escapeFileName, with its exception (no memory for the buffer) turned into Win32 14; the first
// form escapes with the machine's setting.
CKoError EscapePath(const std::string& path, std::string& escaped);
CKoError EscapePath(const std::string& path, std::string& escaped, bool encodeAll);
