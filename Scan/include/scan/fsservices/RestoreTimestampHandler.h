// Folder times for a restore. Writing files into a folder moves the folder's modification time,
// so a restore records, while it runs, the times each folder (and each item whose path is too
// long for one system call) must get, in timestamp files in the job-results folder, and applies
// them all once the data is written. Items whose times cannot be applied are listed in the
// restore's results ("restore.out").
//
// Timestamp files (one record per line, see CTimestampData):
//   "FolderTimestamps_<pid>_<job>.zyf"   a restore process without task ids
//   "FolderTimestamps_<task>.zyf"        a task of a distributed restore
//   "LongPathTimestamps_<task>.zyf"      items with long paths, gathered per job into
//   "LongPathTimestamps_J<job>.zyf"      and applied from there
// Result files "restore_foldertimestamp_<task>.out" or "restore_foldertimestamp.out" hold the
// failures of one pass until they are merged into "restore.out".
//
// Times are applied to the item itself, never through a symbolic link. With a target root set,
// every record must name the root or an item below it, and is reached by descending from the
// root without following any link, so no record can change anything outside the root.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "agent/ApplicationId.h"
#include "agent/RestoreServices.h"
#include "core/Env.h"
#include "core/KoError.h"
#include "scan/fsservices/TimestampData.h"

class CRestoreTimestampHandler {
public:
    CRestoreTimestampHandler(ApplicationId applicationId, int64_t jobId, std::shared_ptr<ZYJobControlClient> jobControl,
                             std::shared_ptr<ZYStoreResults> storeResults);
    ~CRestoreTimestampHandler();
    CRestoreTimestampHandler(const CRestoreTimestampHandler&) = delete;
    CRestoreTimestampHandler& operator=(const CRestoreTimestampHandler&) = delete;

    // Confines applying to `root` and what lies below it (see above).
    CKoError SetTargetRoot(const std::string& root);

    CKoError Add(const CTimestampData& data);
    CKoError Add(const CTimestampData& data, int taskId);
    CKoError AddLongpath(const CTimestampData& data, int taskId);

    // Every "FolderTimestamps*" file of the job-results folder.
    CKoError Apply();
    // The task's file: a negative id is Win32 87 "Invalid task id", a missing file Win32 2.
    CKoError Apply(int taskId);
    // The job's long-path file (the tasks' long-path files are gathered into it first).
    CKoError ApplyLongpath();
    // One timestamp file by its path.
    CKoError Apply(const std::string& path);
    // One record; a missing item is Win32 2 "[%s] is not found".
    CKoError Apply(const CTimestampData& data);

    // Writes out and closes the open timestamp files.
    CKoError Close();

    // Records applied and records that failed, over every pass so far.
    int64_t GetAppliedCount() const { return m_applied; }
    int64_t GetFailedCount() const { return m_failed; }

    // Names the handler uses (for callers and tests).
    std::string FolderTimestampFile() const;
    std::string FolderTimestampFile(int taskId) const;
    std::string LongPathTimestampFile(int taskId) const;
    std::string JobLongPathTimestampFile() const;

private:
    struct OpenFile;
    CKoError JobResults(std::string& folder, const FXCodeLocation& where) const;
    CKoError AddTo(const std::string& name, const CTimestampData& data);
    CKoError ProcessDoc(const std::string& path, const std::string& resultName);
    CKoError ApplyRecord(const CTimestampData& data);
    CKoError ApplyBeneathRoot(const std::string& path, const struct timespec times[2]);
    CKoError MergeResults(const std::string& resultPath);
    CKoError RemoveResults(const std::string& timestampPath, const std::string& resultPath);
    CKoError GatherLongPathFiles();

    ApplicationId m_applicationId;
    int64_t m_jobId;
    std::shared_ptr<ZYJobControlClient> m_jobControl;
    std::shared_ptr<ZYStoreResults> m_storeResults;
    std::map<std::string, std::unique_ptr<OpenFile>> m_files;
    std::string m_root;
    int m_rootFd = -1;
    int64_t m_applied = 0;
    int64_t m_failed = 0;
};
