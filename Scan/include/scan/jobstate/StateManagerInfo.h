// "StateManagerInfo": what the state manager itself keeps about a job.
#pragma once

#include <memory>
#include <string>

#include "scan/jobstate/StateNode.h"

class XStateManagerInfo : public XStateNode {
public:
    static constexpr const char* kElementName = "StateManagerInfo";
    using XStateNode::XStateNode;

    long long get_JobId() const { return Int64("JobId"); }
    CKoError Set_JobId(long long jobId) { return SetInt64("JobId", jobId); }
    int get_JobType() const { return Int("JobType"); }
    CKoError Set_JobType(int jobType) { return SetInt("JobType", jobType); }
    std::string get_JobManagerToken() const { return String("JobManagerToken"); }
    CKoError Set_JobManagerToken(const std::string& token) { return SetString("JobManagerToken", token); }
};
using XStateManagerInfoPtr = std::shared_ptr<XStateManagerInfo>;
