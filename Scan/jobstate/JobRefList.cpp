#include "scan/jobstate/JobRefList.h"

CKoError XJobRefList::Add_JobRef(XJobRefPtr& jobRef) {
    CKoXNodePtr node;
    CKoError e = AppendChild(XJobRef::kElementName, node);
    if (e.IsError()) return e.Push(ZY_HERE);
    jobRef = std::make_shared<XJobRef>(std::move(node));
    return CKoError::Success();
}

XJobRefPtr XJobRefList::Find(long long jobId) const {
    for (XJobRefPtr ref = Get_JobRef(); ref->Exists(); ref->Next())
        if (ref->get_JobId() == jobId) return std::make_shared<XJobRef>(std::make_shared<CKoXNode>(*ref->GetNode()));
    return nullptr;
}
