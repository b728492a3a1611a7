// The TrueUp job state document: one element, "JobInfo", with the attributes of one record
// (TrueUpStateManager.h). Read and written through the file-system seam; a save replaces the
// file durably.
#pragma once

#include <string>

#include "core/KoXml.h"
#include "scan/jobstate/JobInfo.h"

class XTrueUpStateDoc : public CKoXDocument {
public:
    static constexpr uint64_t kMaxFileBytes = 1ull << 20;

    // Missing is Win32 2, empty 4306, not a TrueUp job state (malformed, another root) 13.
    CKoError Load(const std::string& path);
    CKoError Save(const std::string& path) const;

    XJobInfo Get_JobInfo() const;
    CKoError Add_JobInfo(XJobInfo& jobInfo);
};
