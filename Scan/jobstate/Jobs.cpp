#include "scan/jobstate/Jobs.h"

XJobPtr XJobs::Find(long long jobId) const {
    for (XJobPtr job = Get_Job(); job->Exists(); job->Next())
        if (job->get_JobId() == jobId) return std::make_shared<XJob>(std::make_shared<CKoXNode>(*job->GetNode()));
    return nullptr;
}
