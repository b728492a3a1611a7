// The state manager's callback that acts on what it learns (StateManager.h):
// - a pending job that turns out successful gets its DirChange promoted: the file the job wrote
//   under its temporary name (the job's "DirChange" element: SubclientFolder, TempFileName,
//   FinalFileName) is renamed to its final name, and TempFileName is dropped;
// - with a job-folder root set (SetJobFolderRoot), a job whose record leaves the document (it
//   failed, or a later successful job of its type replaced it) has its folder "J<id>" in that
//   root removed. The document that no longer names the job is saved first, so a crash never
//   removes a folder the saved document still refers to.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "scan/jobstate/StateManagerCallback.h"

class CJobCleanupCallbackPrivate;

class CJobCleanupCallback : public CStateManagerCallback {
public:
    CJobCleanupCallback();
    ~CJobCleanupCallback() override;

    // Promotes the job's DirChange. A failed promotion is logged ("RenameDirChange failed") and
    // the job still counts as successful: the baseline look-up uses the temporary name then.
    CKoError PendingJobWasSuccessful(const XJobRefPtr& jobRef, const XJobPtr& job) override;
    // Removes the job's folder when a root is set. Failures are logged; the record goes anyway
    // and RemoveOrphanJobFolders picks the folder up later.
    CKoError CleanupUnreferencedJob(int64_t jobId, const XJobPtr& job) override;

    // The folder under which each job keeps its outputs in a folder of its own ("J<id>"). With
    // a root set, a DirChange record naming a folder outside it is not followed.
    void SetJobFolderRoot(const std::string& root);

    // "J<id>", and its inverse (false for any other name).
    static std::string JobFolderName(int64_t jobId);
    static bool ParseJobFolderName(const std::string& name, int64_t& jobId);
    // Removes the files of root/J<id> and the folder. Never follows links or descends further:
    // a subfolder stays (logged) and so does the job folder then. A missing folder is success.
    static CKoError RemoveJobFolder(const std::string& root, int64_t jobId);
    // Removes every "J<id>" folder of `root` whose id is not in `keep` (the jobs the document
    // names): the outputs of jobs killed before their record was saved.
    static CKoError RemoveOrphanJobFolders(const std::string& root, const std::set<int64_t>& keep);

    // The promotion itself; Win32 2 when the temporary file is missing, 13 for a record whose
    // names leave its folder or (with `root` not empty) whose folder is outside `root`.
    static CKoError RenameDirChange(int64_t jobId, const XJob& job, const std::string& root = std::string());

private:
    std::shared_ptr<CJobCleanupCallbackPrivate> m_private;
};
