// A list of "JobRef" elements; "PendingJobs" and "LastSuccessfulJobs" are such lists.
#pragma once

#include <memory>

#include "scan/jobstate/JobRef.h"

class XJobRefList : public XStateNode {
public:
    using XStateNode::XStateNode;

    // The first JobRef (Exists() false when there is none); walk on with Next().
    XJobRefPtr Get_JobRef() const { return std::make_shared<XJobRef>(Child(XJobRef::kElementName)); }
    CKoError Add_JobRef(XJobRefPtr& jobRef) { return AppendTyped(jobRef); }
    CKoError Remove(const XJobRef& jobRef) { return RemoveChild(jobRef, XJobRef::kElementName); }
    // The JobRef with this id, or null.
    XJobRefPtr Find(long long jobId) const;
};
