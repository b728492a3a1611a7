// "Jobs": the Job elements of the job-state document.
#pragma once

#include <memory>

#include "scan/jobstate/Job.h"

class XJobs : public XStateNode {
public:
    static constexpr const char* kElementName = "Jobs";
    using XStateNode::XStateNode;

    // The first Job (Exists() false when there is none); walk on with Next().
    XJobPtr Get_Job() const { return std::make_shared<XJob>(Child(XJob::kElementName)); }
    CKoError Add_Job(XJobPtr& job) { return AppendTyped(job); }
    CKoError Remove(const XJob& job) { return RemoveChild(job, XJob::kElementName); }
    // The Job with this id, or null.
    XJobPtr Find(long long jobId) const;
};
using XJobsPtr = std::shared_ptr<XJobs>;
