// The job-state document of a subclient (see StateManager.h):
//
//   <JobState>
//     <Jobs> <Job JobId=".."> <StateManagerInfo JobId=".." JobType=".." JobManagerToken=".."/>
//                             <DirChange .../> (other named elements) </Job> ... </Jobs>
//     <PendingJobs> <JobRef JobId=".." JobType=".."/> ... </PendingJobs>
//     <LastSuccessfulJobs> <JobRef JobId=".." JobType=".."/> (one per type) </LastSuccessfulJobs>
//   </JobState>
//
// The top-level elements are created when first needed. The document is read and written through
// the file-system seam; a save replaces the file durably (temporary name, sync, rename, folder
// sync), so a crash leaves the previous document or the new one.
#pragma once

#include <cstdint>
#include <string>

#include "core/KoXml.h"
#include "scan/jobstate/Jobs.h"
#include "scan/jobstate/LastSuccessfulJobs.h"
#include "scan/jobstate/PendingJobs.h"

class XStateDoc : public CKoXDocument {
public:
    static constexpr const char* kRootName = "JobState";
    // A document is a few kilobytes; anything near this size is not one.
    static constexpr uint64_t kMaxFileBytes = 16ull << 20;

    // Loads and checks the document. A missing file is Win32 2, an empty one 4306, and one that
    // is not a job-state document (malformed XML, another root, a JobId or JobType that is not a
    // number, a job id twice) is 13 with a message that says what is wrong. On failure the
    // document is left empty.
    CKoError Load(const std::string& path);
    CKoError Save(const std::string& path) const;
    // The checks of Load, on what the document holds now.
    CKoError Validate() const;

    XJobsPtr Get_Jobs() const;
    CKoError Add_Jobs(XJobsPtr& jobs) { return AddTyped(jobs); }
    XPendingJobsPtr Get_PendingJobs() const;
    CKoError Add_PendingJobs(XPendingJobsPtr& pendingJobs) { return AddTyped(pendingJobs); }
    XLastSuccessfulJobsPtr Get_LastSuccessfulJobs() const;
    CKoError Add_LastSuccessfulJobs(XLastSuccessfulJobsPtr& lastSuccessfulJobs) { return AddTyped(lastSuccessfulJobs); }

private:
    CKoXNodePtr TopLevel(const char* name) const;
    CKoError AddTopLevel(const char* name, CKoXNodePtr& node);
    template <class T>
    CKoError AddTyped(std::shared_ptr<T>& wrapper) {
        CKoXNodePtr node;
        CKoError e = AddTopLevel(T::kElementName, node);
        if (e.IsError()) return e;
        wrapper = std::make_shared<T>(std::move(node));
        return CKoError::Success();
    }
};
