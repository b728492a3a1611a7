// "LastSuccessfulJobs": the last successful job of each job type, at most one per type.
#pragma once

#include "scan/jobstate/JobRefList.h"

class XLastSuccessfulJobs : public XJobRefList {
public:
    static constexpr const char* kElementName = "LastSuccessfulJobs";
    using XJobRefList::XJobRefList;
};
using XLastSuccessfulJobsPtr = std::shared_ptr<XLastSuccessfulJobs>;
