#include "scan/jobstate/Job.h"

CKoError XJob::Add_StateManagerInfo(XStateManagerInfoPtr& info) {
    CKoXNodePtr node;
    CKoError e = AppendChild(XStateManagerInfo::kElementName, node);
    if (e.IsError()) return e.Push(ZY_HERE);
    info = std::make_shared<XStateManagerInfo>(std::move(node));
    return CKoError::Success();
}
