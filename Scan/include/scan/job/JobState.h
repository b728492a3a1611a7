// What a job-results folder remembers of a scan job, and the view of it the backup and fsscan's
// commands use.
//
// Each job keeps its outputs in a folder of its own, "J<id>" in the job-results folder (collect
// files, the collect-files description, its DirChange under the temporary name "DCTmp.zyf", the
// backup's collect map and scan-error file). The job-state document "JobState.xml" (CStateManager)
// holds the jobs: pending ones and the last successful one of each level, each with a "ScanInfo"
// element (SScanRecord) that is written once the scan is complete. Writing that element is the
// commit point of a scan: until then the job is nothing the backup or the next scan uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/KoError.h"
#include "core/KoXml.h"
#include "core/Sync.h"

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
    std::string folder;             // the job's folder inside the results folder, "J<id>"
    long long baselineJobId = 0;    // the job an incremental compared against (0 for a full)
    std::string dirChangeFile;      // names inside the job folder
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
    // The filters and exceptions the scan applied (a record written before filters existed has
    // none, which is what such a scan applied): the next job collects what they left out and it
    // does not.
    std::vector<SScanFilterRecord> filters;
};

// The "ScanInfo" element of a job in the job-state document.
class CScanRecordNode {
public:
    static constexpr const char* kElementName = "ScanInfo";
    // A standalone element (in a document of its own) to store with AddOrReplaceNodeInJob.
    static CKoError Write(const SScanRecord& record, CKoXDocument& holder, CKoXNodePtr& node);
    // Win32 13 for an element that is not a complete record or names files outside its folder.
    static CKoError Read(const CKoXNodePtr& node, SScanRecord& record);
};

class CScanJobState {
public:
    static constexpr const char* kFileName = "JobState.xml";

    // The last scan that completed and whose job is not yet resolved by a later scan: the job a
    // backup reads. A folder without a job-state document gives an empty state; a damaged one
    // is an error.
    CKoError Load(const std::string& resultsDir);
    // Writes lastScan back as its job's record.
    CKoError Save(const std::string& resultsDir) const;

    // The path of a file of the last scan's job folder.
    std::string PathOf(const std::string& resultsDir, const std::string& name) const;

    bool hasLastScan = false;
    SScanRecord lastScan;
    long long lastJobId = 0;  // the highest job id the document names
    // Whether the job manager records the last scan's backup as done (successful or committed).
    bool backupDone = false;
};

// Takes the lock of a job-results folder (its real path) for one job: another job holding it is
// Win32 33 with "Another job is using the job-results folder".
CKoError LockResultsFolder(const std::string& resultsDir, FXFolderLock& lock);
// Size and 64-bit FNV-1a hash of a file's bytes.
CKoError HashFile(const std::string& path, unsigned long long& size, unsigned long long& hash);
// escapeFileName, with its exception (no memory for the buffer) turned into Win32 14; the first
// form escapes with the machine's setting.
CKoError EscapePath(const std::string& path, std::string& escaped);
CKoError EscapePath(const std::string& path, std::string& escaped, bool encodeAll);
