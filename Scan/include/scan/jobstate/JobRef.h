// "JobRef": a reference to a job by id and type, under "PendingJobs" or "LastSuccessfulJobs".
#pragma once

#include <memory>

#include "scan/jobstate/StateNode.h"

class XJobRef : public XStateNode {
public:
    static constexpr const char* kElementName = "JobRef";
    using XStateNode::XStateNode;

    // 0 when missing.
    long long get_JobId() const { return Int64("JobId"); }
    CKoError Get_JobId(int64_t& jobId) const { return GetInt64("JobId", jobId); }
    CKoError Set_JobId(int64_t jobId) { return SetInt64("JobId", jobId); }
    int get_JobType() const { return Int("JobType"); }
    CKoError Set_JobType(int jobType) { return SetInt("JobType", jobType); }
    bool Next() { return MoveNext(); }
};
using XJobRefPtr = std::shared_ptr<XJobRef>;
