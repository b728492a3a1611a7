// "JobInfo": the one element of the TrueUp job state (TrueUpStateManager.h).
#pragma once

#include "scan/jobstate/StateNode.h"

class XJobInfo : public XStateNode {
public:
    static constexpr const char* kElementName = "JobInfo";
    using XStateNode::XStateNode;
};
