#include "scan/jobstate/JobRefList.h"

XJobRefPtr XJobRefList::Find(long long jobId) const {
    for (XJobRefPtr ref = Get_JobRef(); ref->Exists(); ref->Next())
        if (ref->get_JobId() == jobId) return std::make_shared<XJobRef>(std::make_shared<CKoXNode>(*ref->GetNode()));
    return nullptr;
}
