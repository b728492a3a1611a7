// "PendingJobs": the jobs that started and whose outcome is not yet known.
#pragma once

#include "scan/jobstate/JobRefList.h"

class XPendingJobs : public XJobRefList {
public:
    static constexpr const char* kElementName = "PendingJobs";
    using XJobRefList::XJobRefList;
};
using XPendingJobsPtr = std::shared_ptr<XPendingJobs>;
