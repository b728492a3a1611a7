// The job history of a job-results folder, for people: every job the job manager knows with how
// it ended, the pending and last successful jobs of the job-state document, and what the next
// incremental scan will compare against and why. Reads only; takes no lock.
#pragma once

#include <string>
#include <vector>

#include "agent/JobManager.h"
#include "core/KoError.h"

struct SJobHistoryEntry {
    SJobManagerJob job;
    bool inDocument = false;    // the job-state document still names it
    bool pending = false;       // not yet resolved by a later scan
    bool lastSuccessful = false;
    bool scanComplete = false;  // its scan record is there
    std::string dest;           // where its backup went, when recorded
};

struct SJobHistory {
    std::vector<SJobHistoryEntry> jobs;  // ascending id
    bool documentFound = false;
    std::string documentProblem;  // a damaged job-state document: what is wrong
    long long nextBaseline = 0;   // 0: the next incremental runs full
    std::string nextReason;
};

class CJobHistory {
public:
    static CKoError Read(const std::string& resultsDir, SJobHistory& history);
};
