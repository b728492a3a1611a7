// "Job": the state a job keeps in the job-state document: its StateManagerInfo and any named
// child elements other components store (the DirChange rename record among them).
#pragma once

#include <memory>
#include <string>

#include "scan/dirchange/XDirChange.h"
#include "scan/jobstate/StateManagerInfo.h"

class XJob : public XStateNode {
public:
    static constexpr const char* kElementName = "Job";
    using XStateNode::XStateNode;

    long long get_JobId() const { return Int64("JobId"); }
    CKoError Get_JobId(int64_t& jobId) const { return GetInt64("JobId", jobId); }
    CKoError Set_JobId(int64_t jobId) { return SetInt64("JobId", jobId); }
    XStateManagerInfoPtr Get_StateManagerInfo() const {
        return std::make_shared<XStateManagerInfo>(Child(XStateManagerInfo::kElementName));
    }
    CKoError Add_StateManagerInfo(XStateManagerInfoPtr& info) { return AppendTyped(info); }
    bool Next() { return MoveNext(); }

    // The first child element of that name, or null.
    CKoXNodePtr GetChild(const std::string& name) const { return Child(name.c_str()); }
    // The DirChange rename record (Exists() false when the job has none).
    XDirChange Get_DirChange() const { return XDirChange(Child(XDirChange::kElementName)); }
};
using XJobPtr = std::shared_ptr<XJob>;
