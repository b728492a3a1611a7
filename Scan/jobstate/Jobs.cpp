#include "scan/jobstate/Jobs.h"

CKoError XJobs::Add_Job(XJobPtr& job) {
    CKoXNodePtr node;
    CKoError e = AppendChild(XJob::kElementName, node);
    if (e.IsError()) return e.Push(ZY_HERE);
    job = std::make_shared<XJob>(std::move(node));
    return CKoError::Success();
}

XJobPtr XJobs::Find(long long jobId) const {
    for (XJobPtr job = Get_Job(); job->Exists(); job->Next())
        if (job->get_JobId() == jobId) return std::make_shared<XJob>(std::make_shared<CKoXNode>(*job->GetNode()));
    return nullptr;
}
